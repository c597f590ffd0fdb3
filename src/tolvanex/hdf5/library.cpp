#include "tolvanex/hdf5/library.hpp"

#include <cstring>

#include "tolvanex/text/text.hpp"

namespace tolvanex::hdf5 {

Handle& Handle::operator=(Handle&& other) noexcept {
  if (this != &other) {
    reset();
    id_ = other.id_;
    close_ = other.close_;
    other.id_ = -1;
  }
  return *this;
}

void Handle::reset() {
  if (id_ >= 0 && close_) close_(id_);
  id_ = -1;
}

namespace {

struct InnermostError {
  bool found = false;
  hid_t major = -1;
  hid_t minor = -1;
  std::string description;
};

// Walking upward, the first entry is the innermost: where the fault was detected, and the
// one that names it.
herr_t take_innermost(unsigned n, const H5E_error2_t* e, void* data) {
  auto* out = static_cast<InnermostError*>(data);
  if (n == 0 && e) {
    out->found = true;
    out->major = e->maj_num;
    out->minor = e->min_num;
    if (e->desc) out->description = e->desc;
  }
  return 0;
}

// The library copies a file image at every step (property list set, copy, get, file open).
// These callbacks make every copy the caller's own buffer instead, so the image is held
// once. Nothing is ever written to it: the file is opened read-only and never grows.
// The user data is the image itself.
void* image_malloc(size_t, H5FD_file_image_op_t, void* udata) { return udata; }
void* image_memcpy(void* dest, const void* src, size_t, H5FD_file_image_op_t, void*) {
  return dest == src ? dest : nullptr;
}
void* image_realloc(void*, size_t, H5FD_file_image_op_t, void*) { return nullptr; }
herr_t image_free(void*, H5FD_file_image_op_t, void*) { return 0; }
void* udata_copy(void* udata) { return udata; }
herr_t udata_free(void*) { return 0; }

// The core driver refuses to open an image under a name that exists on disk; nothing can
// exist below a character device.
constexpr const char* kImageName = "/dev/null/tolvanex-memory-image";

}  // namespace

Hdf5InspectError to_err() {
  InnermostError e;
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, take_innermost, &e);
  H5Eclear2(H5E_DEFAULT);
  if (!e.found) return {"HDF5 format error: the library failed without saying why"};
  std::string description = text::decode_lossy(e.description);
  if (e.minor == H5E_NOTHDF5) return {"HDF5 format error: HDF5 signature not found at any valid offset"};
  if (e.major == H5E_IO || e.minor == H5E_READERROR || e.minor == H5E_SEEKERROR)
    return {"I/O error: " + description};
  if (e.major == H5E_OHDR && e.minor == H5E_NOTFOUND)
    return {"missing required message: " + description};
  return {"HDF5 format error: " + description};
}

Hdf5Result<Handle> checked(hid_t id, Handle::Closer close) {
  if (id < 0) return to_err();
  return Handle(id, close);
}

Hdf5Result<Handle> open_image(std::string_view image) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
  // An empty image has no superblock; the driver would look for the name on disk instead.
  if (image.empty()) return Hdf5InspectError{"HDF5 format error: HDF5 signature not found at any valid offset"};

  TVX_TRY_ASSIGN(Handle fapl, checked(H5Pcreate(H5P_FILE_ACCESS), H5Pclose));
  void* data = const_cast<char*>(image.data());
  H5FD_file_image_callbacks_t callbacks{image_malloc, image_memcpy, image_realloc, image_free,
                                        udata_copy,   udata_free,   data};
  if (H5Pset_fapl_core(fapl.get(), 1 << 16, /*backing_store=*/0) < 0 ||
      H5Pset_file_image_callbacks(fapl.get(), &callbacks) < 0 ||
      H5Pset_file_image(fapl.get(), data, image.size()) < 0)
    return to_err();
  return checked(H5Fopen(kImageName, H5F_ACC_RDONLY, fapl.get()), H5Fclose);
}

}  // namespace tolvanex::hdf5
