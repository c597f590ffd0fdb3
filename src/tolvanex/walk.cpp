#include "tolvanex/walk.hpp"

#include <cstring>

#include "tolvanex/io/fsio.hpp"

namespace tolvanex::dispatch {
namespace {

// Joins a directory path and an entry name with one "/".
std::string join_path(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace

DirectoryWalk::DirectoryWalk(std::string root, bool recursive) : recursive_(recursive) {
  if (fsio::kind_of(root, /*follow_links=*/true) == fsio::Kind::Directory) push(root);
}

DirectoryWalk::~DirectoryWalk() {
  for (Frame& frame : stack_) close_frame(frame);
}

void DirectoryWalk::close_frame(Frame& frame) {
  if (frame.dir) {
    ::closedir(frame.dir);
    frame.dir = nullptr;
    --open_;
  }
}

// Reads the rest of the oldest open listing into memory and closes it, so that a new one
// can be opened without exceeding the bound; the order of names is unchanged.
void DirectoryWalk::buffer_oldest_open() {
  for (Frame& frame : stack_) {
    if (!frame.dir) continue;
    while (auto name = next_name(frame)) frame.buffered.push_back(std::move(*name));
    close_frame(frame);
    return;
  }
}

bool DirectoryWalk::push(const std::string& path) {
  if (open_ >= kMaxOpenListings) buffer_oldest_open();
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return false;
  ++open_;
  stack_.push_back(Frame{path, dir, {}});
  return true;
}

std::optional<std::string> DirectoryWalk::next_name(Frame& frame) {
  if (!frame.dir) {
    if (frame.buffered.empty()) return std::nullopt;
    std::string name = std::move(frame.buffered.front());
    frame.buffered.pop_front();
    return name;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(frame.dir);
    if (!entry) return std::nullopt;  // end of listing or a read error: both end it
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    return std::string(entry->d_name);
  }
}

std::optional<std::string> DirectoryWalk::next() {
  while (!stack_.empty()) {
    Frame& top = stack_.back();
    auto name = next_name(top);
    if (!name) {
      close_frame(top);
      stack_.pop_back();
      continue;
    }
    std::string path = join_path(top.path, *name);
    // Links below the root are never followed into.
    if (recursive_ && fsio::kind_of(path, /*follow_links=*/false) == fsio::Kind::Directory)
      push(path);
    return path;
  }
  return std::nullopt;
}

}  // namespace tolvanex::dispatch
