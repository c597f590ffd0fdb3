#include "tolvanex/hdf5/contain.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "tolvanex/io/fsio.hpp"

namespace tolvanex::hdf5 {
namespace {

using Clock = std::chrono::steady_clock;

// A request: its 64-bit little-endian length, which may carry the input's descriptor, then its
// bytes. The worker's answer to it: any number of progress bytes 'P', then one frame, 'R' (the
// encoded record) or 'E' (an error message), each with a 64-bit little-endian length.
constexpr char kProgress = 'P';
constexpr char kRecord = 'R';
constexpr char kError = 'E';

// How often the interrupt is asked while an answer is awaited. A signal breaks the wait off
// sooner when it reaches this thread; the pace covers one that reached another.
constexpr std::chrono::milliseconds kInterruptPace{50};

void put_length(char* out, std::uint64_t n) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
}

std::uint64_t get_length(const char* in) {
  std::uint64_t n = 0;
  for (int i = 0; i < 8; ++i) n |= std::uint64_t{static_cast<unsigned char>(in[i])} << (8 * i);
  return n;
}

bool write_all(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Sends all of `bytes` without raising SIGPIPE when the worker is gone, the descriptor
// `passed` (unless -1) with the first of them; 0 or the errno.
int send_all(int fd, std::string_view bytes, int passed = -1) {
  while (!bytes.empty()) {
    iovec io{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passed >= 0) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &passed, sizeof(int));
    }
    const ssize_t w = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    passed = -1;
    bytes.remove_prefix(static_cast<std::size_t>(w));
  }
  return 0;
}

bool write_frame(int fd, char kind, std::string_view payload) {
  char header[9] = {kind};
  put_length(header + 1, payload.size());
  return write_all(fd, header, sizeof header) && write_all(fd, payload.data(), payload.size());
}

class SocketProgress final : public Progress {
 public:
  SocketProgress(int fd, Clock::duration interval) : fd_(fd), interval_(interval), last_(Clock::now()) {}
  void tick() override {
    const auto now = Clock::now();
    if (now - last_ < interval_) return;
    last_ = now;
    write_all(fd_, &kProgress, 1);
  }

 private:
  int fd_;
  Clock::duration interval_;
  Clock::time_point last_;
};

// Caps the worker's address space at what it inherited plus `headroom`, so a library that
// allocates without end fails an allocation instead of exhausting the machine; and offers
// the worker first to the kernel's out-of-memory killer.
void limit_worker_memory(std::uint64_t headroom) {
  unsigned long pages = 0;
  if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%lu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  if (pages != 0) {
    rlimit lim{};
    if (getrlimit(RLIMIT_AS, &lim) == 0) {
      const rlim_t want = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + headroom;
      if (lim.rlim_cur == RLIM_INFINITY || want < lim.rlim_cur) {
        lim.rlim_cur = lim.rlim_max == RLIM_INFINITY || want < lim.rlim_max ? want : lim.rlim_max;
        setrlimit(RLIMIT_AS, &lim);
      }
    }
  }
  const int fd = ::open("/proc/self/oom_score_adj", O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    write_all(fd, "1000", 4);
    ::close(fd);
  }
}

// Reads exactly `n` bytes; false at end of input or on an error.
bool read_all(int fd, char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// Reads exactly `n` bytes and the descriptor that came with them into `passed` (the last one,
// others are closed); false at end of input or on an error.
bool read_with_descriptor(int fd, char* p, std::size_t n, fsio::File& passed) {
  while (n > 0) {
    iovec io{p, n};
    msghdr msg{};
    msg.msg_iov = &io;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t r = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      for (std::size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
        int got = -1;
        std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
        passed = fsio::File::adopt(got);
      }
    }
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// Answers requests until the caller closes its end.
void serve_requests(int fd, const ServeRequest& serve, const ContainOptions& options) {
  for (;;) {
    char header[8];
    fsio::File input;  // closed when the request is answered
    if (!read_with_descriptor(fd, header, sizeof header, input)) return;
    const std::uint64_t length = get_length(header);
    bool sent = false;
    try {
      std::string request(static_cast<std::size_t>(length), '\0');
      if (!read_all(fd, request.data(), request.size())) return;
      SocketProgress progress(fd, options.stall_limit / 8);
      Hdf5Result<std::string> result = serve(request, input, progress);
      sent = result ? write_frame(fd, kRecord, result.value())
                    : write_frame(fd, kError, result.error().message);
    } catch (const std::bad_alloc&) {
      sent = write_frame(fd, kError, io_error(ENOMEM).message);
    } catch (...) {
      _exit(3);
    }
    if (!sent) _exit(4);
  }
}

[[noreturn]] void worker_main(int fd, pid_t parent, const ServeRequest& serve, const ContainOptions& options) {
  // Ctrl-C is for the caller to handle once the call returns, not a reason to fail the file.
  signal(SIGINT, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  // A crash is reported by the caller; the caller's own crash handlers (Python's
  // faulthandler, a sanitizer) would print about a process that is not theirs.
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS}) signal(sig, SIG_DFL);
#ifdef __linux__
  prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
  if (getppid() != parent) _exit(2);
  limit_worker_memory(options.memory_headroom);

  // The requests are served on a thread of its own, which allocates from a fresh malloc
  // arena: the main arena is the caller's heap, and sorting its inherited free chunks would
  // copy page after page of it (copy on write).
  auto run = [&] { serve_requests(fd, serve, options); };
  try {
    std::thread(run).join();
  } catch (const std::system_error&) {
    run();
  }
  // Never return into the caller's code, never run its exit handlers.
  _exit(0);
}

// Reads the worker's answer as it arrives; nothing is allocated from a declared length
// beyond the bytes that came.
class ReplyReader {
 public:
  // False when the bytes can't be an answer.
  bool feed(const char* p, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
      switch (state_) {
        case State::Kind:
          if (p[i] == kProgress) {
            ++i;
            break;
          }
          if (p[i] != kRecord && p[i] != kError) return false;
          kind_ = p[i++];
          state_ = State::Length;
          break;
        case State::Length:
          length_ |= std::uint64_t{static_cast<unsigned char>(p[i++])} << (8 * length_bytes_);
          if (++length_bytes_ == 8) state_ = length_ == 0 ? State::Done : State::Payload;
          break;
        case State::Payload: {
          const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n - i, length_ - payload_.size()));
          payload_.append(p + i, take);
          i += take;
          if (payload_.size() == length_) state_ = State::Done;
          break;
        }
        case State::Done:
          return false;
      }
    }
    return true;
  }
  bool complete() const { return state_ == State::Done; }
  char kind() const { return kind_; }
  std::string& payload() { return payload_; }

 private:
  enum class State { Kind, Length, Payload, Done };
  State state_ = State::Kind;
  char kind_ = 0;
  std::uint64_t length_ = 0;
  int length_bytes_ = 0;
  std::string payload_;
};

// Waits for the worker's exit; its status, or -1 when it was collected elsewhere.
int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

std::string duration_text(std::chrono::milliseconds d) {
  if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
  return std::to_string(d.count()) + " ms";
}

}  // namespace

Hdf5InspectError library_failed(const std::string& why) {
  return {"HDF5 library failed on this file (" + why + ")"};
}

ContainedWorker::ContainedWorker(ServeRequest serve, ContainOptions options, fsio::Interrupt* interrupt)
    : serve_(std::move(serve)), options_(options), interrupt_(interrupt) {}

ContainedWorker::~ContainedWorker() { retire({}); }

Hdf5Status ContainedWorker::start() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return io_error(errno);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    const int err = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return io_error(err);
  }
  if (pid == 0) {
    ::close(fds[0]);
    worker_main(fds[1], parent, serve_, options_);
  }
  ::close(fds[1]);
  pid_ = pid;
  socket_ = fds[0];
  ++starts_;
  return Unit{};
}

Hdf5InspectError ContainedWorker::retire(Hdf5InspectError error) {
  if (pid_ > 0) {
    ::close(socket_);
    kill(pid_, SIGKILL);
    reap(pid_);
  }
  pid_ = -1;
  socket_ = -1;
  return error;
}

Hdf5InspectError ContainedWorker::ended() {
  ::close(socket_);
  const int status = reap(pid_);
  pid_ = -1;
  socket_ = -1;
  if (status != -1 && WIFSIGNALED(status))
    return library_failed("killed by signal " + std::to_string(WTERMSIG(status)));
  if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) != 0)
    return library_failed("exited with status " + std::to_string(WEXITSTATUS(status)));
  return library_failed("it ended without an answer");
}

Hdf5Result<std::string> ContainedWorker::ask(std::string_view request, int input) {
  // A worker killed while it was idle (from outside, or by the kernel's out-of-memory killer,
  // which picks it first) has not read this file: a new one takes the request. Only once, so
  // that a worker that dies as soon as it starts can't keep the call going round.
  for (bool replaced = false;; replaced = true) {
    if (pid_ <= 0) TVX_TRY(start());
    bool untaken = false;
    Hdf5Result<std::string> answer = exchange(request, input, untaken);
    if (answer || !untaken || replaced) return answer;
  }
}

// A worker that ended before it read the whole request shows it to the sender: a send fails
// with EPIPE once its end is closed, and a read with ECONNRESET when it ended with bytes of
// ours unread; one that ended after reading it all gives a plain end of input.
Hdf5Result<std::string> ContainedWorker::exchange(std::string_view request, int input, bool& untaken) {
  char header[8];
  put_length(header, request.size());
  int err = send_all(socket_, {header, sizeof header}, input);
  if (err == 0) err = send_all(socket_, request);
  if (err != 0) {
    untaken = err == EPIPE || err == ECONNRESET;
    return untaken ? ended() : retire(io_error(err));
  }

  ReplyReader reply;
  auto last = Clock::now();
  char buf[1 << 16];
  while (!reply.complete()) {
    if (interrupt_ && interrupt_->raised()) return retire({"interrupted"});
    const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last);
    if (silent >= options_.stall_limit)
      return retire(library_failed("no progress for " + duration_text(options_.stall_limit)));
    auto wait = options_.stall_limit - silent + std::chrono::milliseconds(1);
    if (interrupt_) wait = std::min(wait, kInterruptPace);
    pollfd p{socket_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(wait.count()));
    if (ready < 0 && errno != EINTR) return retire(io_error(errno));
    if (ready <= 0) continue;
    const ssize_t n = ::read(socket_, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno != ECONNRESET) return retire(io_error(errno));
      untaken = true;
      return ended();
    }
    if (n == 0) return ended();
    last = Clock::now();
    if (!reply.feed(buf, static_cast<std::size_t>(n))) return retire(library_failed("its answer was malformed"));
  }
  if (reply.kind() == kError) return retire(Hdf5InspectError{std::move(reply.payload())});
  return std::move(reply.payload());
}

AddressRoom::AddressRoom(std::uint64_t bytes) {
  rlimit lim{};
  if (getrlimit(RLIMIT_AS, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return;
  const rlim_t add = std::min<rlim_t>(bytes, lim.rlim_max - lim.rlim_cur);  // the hard cap stays
  lim.rlim_cur += add;
  if (setrlimit(RLIMIT_AS, &lim) == 0) added_ = add;
}

AddressRoom::~AddressRoom() {
  rlimit lim{};
  if (added_ == 0 || getrlimit(RLIMIT_AS, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return;
  lim.rlim_cur -= std::min<rlim_t>(added_, lim.rlim_cur);
  setrlimit(RLIMIT_AS, &lim);
}

Hdf5Result<FileImage> FileImage::read(const std::string& path, Progress& progress) {
  auto file = fsio::File::open_read(path);
  if (!file) return Hdf5InspectError{"I/O error: " + file.error().payload()};
  return read(file.value(), progress);
}

Hdf5Result<FileImage> FileImage::read(fsio::File& file, Progress& progress) {
  auto size = file.size();
  if (!size) return Hdf5InspectError{"I/O error: " + size.error().payload()};
  if (size.value() > SIZE_MAX) return io_error(ENOMEM);
  FileImage image;
  image.room_ = AddressRoom(size.value());
  image.data_.reset(new (std::nothrow) char[size.value() ? static_cast<std::size_t>(size.value()) : 1]);
  if (!image.data_) return io_error(ENOMEM);
  // In pieces, with a sign of life after each, so that a large file on a slow disk is not
  // taken for a stall. A file that shrank since is read as it now is.
  constexpr std::size_t kPiece = std::size_t{16} << 20;
  const auto total = static_cast<std::size_t>(size.value());
  while (image.size_ < total) {
    const std::size_t want = std::min(kPiece, total - image.size_);
    auto got = file.read_at(image.data_.get() + image.size_, want, image.size_);
    if (!got) return Hdf5InspectError{"I/O error: " + got.error().payload()};
    image.size_ += got.value();
    progress.tick();
    if (got.value() < want) break;
  }
  return image;
}

}  // namespace tolvanex::hdf5
