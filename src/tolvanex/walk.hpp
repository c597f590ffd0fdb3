// Depth-first, pre-order directory walk in file-system listing order.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace tolvanex::dispatch {

class DirectoryWalk {
 public:
  // At most this many directory listings are held open at once.
  static constexpr std::size_t kMaxOpenListings = 10;

  // Walks `root` if it is a directory (following a link at the root only). With
  // `recursive` false only the root's own entries are yielded.
  DirectoryWalk(std::string root, bool recursive);
  ~DirectoryWalk();
  DirectoryWalk(const DirectoryWalk&) = delete;
  DirectoryWalk& operator=(const DirectoryWalk&) = delete;

  // The path of the next entry below the root, or nothing when the walk is done.
  // Unreadable directories and vanished entries are skipped silently.
  std::optional<std::string> next();

  // Number of listings currently open (for tests of the open-listing bound).
  std::size_t open_listings() const { return open_; }

 private:
  struct Frame {
    std::string path;
    DIR* dir = nullptr;                // open listing, or null once buffered/finished
    std::deque<std::string> buffered;  // remaining names after the listing was closed
  };

  bool push(const std::string& path);
  std::optional<std::string> next_name(Frame& frame);
  void close_frame(Frame& frame);
  void buffer_oldest_open();

  bool recursive_;
  std::vector<Frame> stack_;
  std::size_t open_ = 0;
};

}  // namespace tolvanex::dispatch
