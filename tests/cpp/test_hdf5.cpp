// The HDF5 inspectors' own pieces: text forms, the object inventory, the reply encoding and
// the containment of a worker that crashes, hangs or answers. Files themselves are tested
// from Python, where h5py builds them.
#include <gtest/gtest.h>
#include <hdf5.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <map>
#include <tuple>

#include "support.hpp"
#include "tolvanex/call_context.hpp"
#include "tolvanex/dispatch.hpp"
#include "tolvanex/hdf5/contain.hpp"
#include "tolvanex/hdf5/inspectors.hpp"
#include "tolvanex/hdf5/text_forms.hpp"
#include "tolvanex/hdf5/wire.hpp"

using namespace tolvanex;
using namespace tolvanex::hdf5;

TEST(Hdf5TextForms, Floats) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, const char*> cases[] = {
      {1.0, "1.0"}, {0.5, "0.5"}, {0.0001, "0.0001"}, {123456789.0, "123456789.0"},
      {1234.5, "1234.5"}, {1e16, "1e16"}, {9999999999999998.0, "9999999999999998.0"},
      {1.5e-7, "1.5e-7"}, {-2.5e20, "-2.5e20"}, {1e-5, "1e-5"}, {0.0, "0.0"}, {-0.0, "-0.0"},
      {std::nan(""), "NaN"}, {inf, "inf"}, {-inf, "-inf"}, {0.1, "0.1"},
      {static_cast<double>(0.1f), "0.10000000149011612"}, {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"}, {0.00012, "0.00012"}};
  for (const auto& [value, text] : cases) {
    std::string out;
    append_f64(out, value);
    EXPECT_EQ(out, text) << text;
  }
}

TEST(Hdf5TextForms, QuotedTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain 'x'", R"("plain 'x'")"},
      {"\t\n\r\\\"", R"("\t\n\r\\\"")"}, {"\x1b\x7f", R"("\u{1b}\u{7f}")"},
      {"\xc2\xa0\xc2\xad\xe2\x80\x8b\xef\xbb\xbf", R"("\u{a0}\u{ad}\u{200b}\u{feff}")"},
      {"e\xcc\x81 \xe3\x85\xa4", R"("e\u{301} \u{3164}")"},                    // mark, filler
      {"\xee\x80\x80\xcd\xb8\xf3\xa0\x80\x81", R"("\u{e000}\u{378}\u{e0001}")"},  // private, unassigned, tag
      {"é€😀\xe2\x80\xa8", "\"é€😀\\u{2028}\""}};
  for (const auto& [in, text] : cases) {
    std::string out;
    append_quoted(out, in);
    EXPECT_EQ(out, text) << text;
  }
  std::string nul;
  append_quoted(nul, std::string_view("a\0b", 3));
  EXPECT_EQ(nul, R"("a\0b")");
}

TEST(Hdf5TextForms, Datatypes) {
  using K = Hdf5Dtype::Kind;
  Hdf5Dtype compound{K::Compound, {"x", "id"}, {{K::F64}, {K::I32}}, {}, {}};
  Hdf5Dtype array{K::Array, {}, {compound}, {2, 3}, {}};
  Hdf5Dtype enumeration{K::Enum, {"A", "B\""}, {}, {}, {}};
  Hdf5Dtype other{K::Other, {}, {}, {}, "u24"};
  EXPECT_EQ(dtype_text(array), R"(Array(Compound([("x", F64), ("id", I32)]), [2, 3]))");
  EXPECT_EQ(dtype_text(enumeration), R"(Enum(["A", "B\""]))");
  EXPECT_EQ(dtype_text(other), R"(Other("u24"))");
  EXPECT_EQ(dtype_text({K::VariableLengthString}), "VariableLengthString");
  EXPECT_EQ(attr_value_text(std::vector<std::string>{}), "StringArray([])");
  EXPECT_EQ(attr_value_text(std::int64_t{-5}), "I64(-5)");
}

TEST(Hdf5Mechanical, InventoryRecordsAndUsedBytes) {
  constexpr char kInventory[] =
      "|,17,105,Static Structural\0 | , 3 , 105 , Modal \0|,x,105,A\0|,3,105\0"
      "|,3,105,\0|,1,+400,Part, copy\0|,1,4294967296,x\0\0|,1,4294967295,y";
  const auto objects = parse_object_inventory(std::string_view(kInventory, sizeof kInventory - 1));
  std::vector<std::pair<std::string, std::uint32_t>> got;
  for (const auto& o : objects) got.emplace_back(o.name, o.type_id);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::uint32_t>>{
                     {"Static Structural", 105}, {"Modal", 105}, {"", 105}, {"Part, copy", 400},
                     {"y", 4294967295u}}));

  const std::pair<const char*, std::uint64_t> used[] = {
      {"U64(10)", 10}, {"I64(10)", 100}, {"U64()", 100}, {"U64(18446744073709551616)", 100},
      {"U64(18446744073709551615)", 18446744073709551615u}, {"I64Array([1, 2])", 100}};
  for (const auto& [text, bytes] : used)
    EXPECT_EQ(dataset_used_bytes({"/s", {10, 10}, "U8", {{"UsedSize", text}}}), bytes) << text;
  EXPECT_EQ(dataset_used_bytes({"/s", {}, "U8", {}}), 1u);
  EXPECT_EQ(dataset_used_bytes({"/s", {1ull << 32, 1ull << 32, 3}, "U8", {}}), 0u);  // modulo 2^64
}

TEST(Hdf5Wire, RoundTripAndDamage) {
  MechanicalMechdbSummary s;
  s.mechanical_version = "25.1";
  s.object_type_counts = {{4294967295u, 2}};
  s.streams = {{"/a", 7}, {"/b", 0}};
  s.sidecars.lock_file_present = true;
  const std::string bytes = wire::encode(s);
  EXPECT_EQ(wire::decode<MechanicalMechdbSummary>(bytes), s);
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, bytes.size() / 2, bytes.size() - 1})
    EXPECT_FALSE(wire::decode<MechanicalMechdbSummary>(bytes.substr(0, cut))) << cut;
  std::string huge_count = wire::encode(FluentHdf5Summary{});
  huge_count.replace(0, 8, std::string(8, '\xff'));  // 2^64-1 root attributes declared
  EXPECT_FALSE(wire::decode<FluentHdf5Summary>(huge_count));
  EXPECT_FALSE(wire::decode<FluentHdf5Summary>(wire::encode(FluentHdf5Summary{}) + "x"));
}

// One worker answers a run of requests: kept while it answers, retired by any failure and
// started anew by the next request.
TEST(Hdf5Containment, WorkerOutcomes) {
  ContainedWorker worker(
      [](std::string_view request, fsio::File&, Progress& p) -> Hdf5Result<std::string> {
        if (request == "error") return Hdf5InspectError{"HDF5 format error: x"};
        if (request == "segv") raise(SIGSEGV);
        if (request == "exit") _exit(7);
        if (request == "hang") for (;;) pause();
        if (request == "slow")  // alive all along: not ended
          for (int i = 0; i < 60; ++i) { usleep(10'000); p.tick(); }
        return std::string(request) + " " + std::to_string(getpid());
      },
      {std::chrono::milliseconds(300)});
  const std::tuple<const char*, const char*, std::uint64_t> cases[] = {
      {"a", "", 1}, {"slow", "", 1}, {"b", "", 1},
      {"error", "HDF5 format error: x", 1}, {"c", "", 2},
      {"segv", "HDF5 library failed on this file (killed by signal 11)", 2},
      {"exit", "HDF5 library failed on this file (exited with status 7)", 3},
      {"hang", "HDF5 library failed on this file (no progress for 300 ms)", 4}, {"d", "", 5}};
  std::map<std::uint64_t, std::string> pid_of_start;  // answers of one start come from one process
  for (const auto& [request, error, starts] : cases) {
    const auto result = worker.ask(request);
    if (*error == '\0') {
      ASSERT_TRUE(result.ok()) << request;
      const std::string& answer = result.value();
      EXPECT_EQ(answer.substr(0, answer.find(' ')), request);
      const std::string pid = answer.substr(answer.find(' ') + 1);
      EXPECT_EQ(pid_of_start.emplace(starts, pid).first->second, pid) << request;
    } else {
      EXPECT_EQ(result.ok() ? std::string("ok") : result.error().message, error);
    }
    EXPECT_EQ(worker.running(), *error == '\0') << request;
    EXPECT_EQ(worker.starts(), starts) << request;
  }
  EXPECT_NE(pid_of_start[1], pid_of_start[5]);
}

// A small file written with the library itself: a group, a dataset, attributes.
void write_small_file(const std::string& path) {
  const hid_t file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
  const hid_t group = H5Gcreate2(file, "zone", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
  const hsize_t dims[1] = {3};
  const hid_t space = H5Screate_simple(1, dims, nullptr);
  const hid_t set = H5Dcreate2(group, "x", H5T_IEEE_F64LE, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
  const hid_t attr = H5Acreate2(set, "n", H5T_STD_U16BE, space, H5P_DEFAULT, H5P_DEFAULT);
  const std::uint16_t values[3] = {1, 2, 65535};
  H5Awrite(attr, H5T_NATIVE_UINT16, values);
  H5Aclose(attr);
  H5Dclose(set);
  H5Sclose(space);
  H5Gclose(group);
  H5Fclose(file);
}

bool no_child_left() { return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(Hdf5Containment, SameRecordInProcessAndContained) {
  const tvx_test::TempDir dir;
  const std::string path = dir.str("same.cas.h5");
  write_small_file(path);
  Hdf5Worker worker;
  const auto contained = inspect_fluent_hdf5(path, worker);
  NoProgress none;
  const auto image = FileImage::read(path, none);
  const auto in_process = fluent_summary(image.value().bytes(), none);
  ASSERT_TRUE(contained.ok() && in_process.ok());
  EXPECT_EQ(contained.value(), in_process.value());
  EXPECT_EQ(contained.value().datasets.at(0).attributes.at(0).value, "I64Array([1, 2, 65535])");
}

// The worker's address-space cap bounds what the library makes of a file, not the image of
// the file itself: a file larger than that headroom still reads.
TEST(Hdf5Containment, FileLargerThanTheHeadroomReads) {
  const tvx_test::TempDir dir;
  const std::string path = dir.str("large.cas.h5");
  write_small_file(path);
  std::ofstream(path, std::ios::app | std::ios::binary) << std::string(std::size_t{200} << 20, '\0');
  ContainOptions options;
  options.memory_headroom = std::uint64_t{128} << 20;
  Hdf5Worker worker(options);
  const auto summary = inspect_fluent_hdf5(path, worker);
  EXPECT_TRUE(summary.ok()) << (summary.ok() ? "" : summary.error().message);
}

// A scan starts one worker for all its HDF5 files; an error ends the scan and the worker,
// and the next file of a later scan starts a new one.
TEST(Hdf5Containment, OneWorkerPerScan) {
  const tvx_test::TempDir dir;
  std::vector<std::string> files;
  for (const char* name : {"a.cas.h5", "b.msh.h5", "c.mechdb"}) {
    files.push_back(dir.str(name));
    write_small_file(files.back());
  }
  const std::string bad = dir.write("bad.cas.h5", "not HDF5");
  const ScanOptions options = ScanOptions::defaults();
  std::string all;
  {
    CallContext call;
    all = tvx_test::outcome(dispatch::scan_paths(files, options, call));
    EXPECT_EQ(all.find("ERROR"), std::string::npos);
    EXPECT_EQ(call.hdf5.process().starts(), 1u);
    EXPECT_TRUE(call.hdf5.process().running());

    EXPECT_EQ(tvx_test::outcome(dispatch::scan_paths({files[0], bad, files[1]}, options, call)),
              "ERROR hdf5 error: hdf5 read failed: HDF5 format error: HDF5 signature not found at "
              "any valid offset");
    EXPECT_FALSE(call.hdf5.process().running());
    EXPECT_TRUE(no_child_left());
    EXPECT_EQ(tvx_test::outcome(dispatch::scan_paths(files, options, call)), all);
    EXPECT_EQ(call.hdf5.process().starts(), 2u);
  }
  EXPECT_TRUE(no_child_left());
  EXPECT_EQ(tvx_test::outcome(dispatch::scan_paths(files, options)), all);
  EXPECT_TRUE(no_child_left());  // the call's own worker ended with it
}
