#include "tolvanex/directory_walk.hpp"

#include <cerrno>
#include <cstring>

#include "tolvanex/io/fsio.hpp"

namespace tolvanex::dispatch {

DirectoryWalk::DirectoryWalk(std::string root, bool recursive, Kinds kinds)
    : recursive_(recursive), kinds_(kinds) {
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
    std::string_view name;
    EntryKind kind;
    while (next_in(frame, name, kind)) {
      frame.buffered.names.append(name);
      frame.buffered.entries.push_back({frame.buffered.names.size(), kind});
    }
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

// The next entry of a listing, open or buffered. A name from an open listing lives in the
// listing's own buffer, until the listing is read again.
bool DirectoryWalk::next_in(Frame& frame, std::string_view& name, EntryKind& kind) {
  if (!frame.dir) {
    Buffered& b = frame.buffered;
    if (b.next == b.entries.size()) return false;
    const std::size_t begin = b.next == 0 ? 0 : b.entries[b.next - 1].end;
    name = std::string_view(b.names).substr(begin, b.entries[b.next].end - begin);
    kind = b.entries[b.next++].kind;
    return true;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(frame.dir);
    if (!entry) return false;  // end of listing or a read error: both end it
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    name = entry->d_name;
    const unsigned char type = kinds_ == Kinds::LookedUp ? static_cast<unsigned char>(DT_UNKNOWN) : entry->d_type;
    switch (type) {
      case DT_REG: kind = EntryKind::Regular; break;
      case DT_DIR: kind = EntryKind::Directory; break;
      case DT_LNK: kind = EntryKind::Link; break;
      case DT_UNKNOWN: kind = EntryKind::Unknown; break;
      default: kind = EntryKind::Other; break;  // devices, pipes, sockets
    }
    return true;
  }
}

const std::string& DirectoryWalk::path() {
  if (!path_joined_) {
    const std::string& dir = stack_[parent_].path;
    path_.assign(dir);
    if (!dir.empty() && dir.back() != '/') path_.push_back('/');
    path_.append(name_);
    path_joined_ = true;
  }
  return path_;
}

DirectoryWalk::EntryKind DirectoryWalk::look_up(bool follow_links) {
  switch (fsio::kind_of(path(), follow_links)) {
    case fsio::Kind::Regular: return EntryKind::Regular;
    case fsio::Kind::Directory: return EntryKind::Directory;
    case fsio::Kind::Link: return EntryKind::Link;
    default: return EntryKind::Other;  // vanished entries too
  }
}

bool DirectoryWalk::is_regular_file() {
  if (kind_ == EntryKind::Link || kind_ == EntryKind::Unknown)
    return look_up(/*follow_links=*/true) == EntryKind::Regular;
  return kind_ == EntryKind::Regular;
}

bool DirectoryWalk::next() {
  while (!stack_.empty()) {
    std::string_view name;
    if (!next_in(stack_.back(), name, kind_)) {
      close_frame(stack_.back());
      stack_.pop_back();
      continue;
    }
    parent_ = stack_.size() - 1;
    name_ = name;
    path_joined_ = false;
    if (!recursive_) return true;
    // Links below the root are never followed into.
    if (kind_ == EntryKind::Unknown) kind_ = look_up(/*follow_links=*/false);
    if (kind_ == EntryKind::Directory) {
      // Opening its listing may move the frames, and with them the buffered names, so the
      // name is kept in the joined path from here on.
      const std::string& joined = path();
      name_ = std::string_view(joined).substr(joined.size() - name.size());
      push(joined);
    }
    return true;
  }
  return false;
}

}  // namespace tolvanex::dispatch
