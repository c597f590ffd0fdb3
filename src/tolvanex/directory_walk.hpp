// Depth-first, pre-order directory walk in file-system listing order.
//
// The walk is the scan's inner loop over every entry of every folder, most of which the name
// filter turns down. So an entry costs no system call of its own: its kind comes from the
// listing (d_type), and its path is joined only when asked for. Only a symbolic link, or an
// entry whose kind the file system leaves open (DT_UNKNOWN), is looked up, and then only when
// the walk must know whether to descend into it, or the caller whether it is a regular file.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>


namespace tolvanex::dispatch {

class DirectoryWalk {
 public:
  // At most this many directory listings are held open at once.
  static constexpr std::size_t kMaxOpenListings = 10;

  // Where entry kinds come from: the listing, or (for tests of file systems that give none)
  // a lookup of every entry, as for DT_UNKNOWN.
  enum class Kinds : std::uint8_t { FromListing, LookedUp };

  // Walks `root` if it is a directory (following a link at the root only). With
  // `recursive` false only the root's own entries are yielded.
  DirectoryWalk(std::string root, bool recursive, Kinds kinds = Kinds::FromListing);
  ~DirectoryWalk();
  DirectoryWalk(const DirectoryWalk&) = delete;
  DirectoryWalk& operator=(const DirectoryWalk&) = delete;

  // Moves to the next entry below the root; false when the walk is done. Unreadable
  // directories and vanished entries are skipped silently.
  bool next();

  // The current entry's name, raw bytes; valid until the next call of next().
  std::string_view name() const { return name_; }
  // Its path: the directory's path and the name joined by one "/"; valid until next().
  const std::string& path();
  // Whether it names a regular file once symbolic links are followed.
  bool is_regular_file();

  // Number of listings currently open (for tests of the open-listing bound).
  std::size_t open_listings() const { return open_; }

 private:
  // What the listing says of an entry; Unknown until looked up when it says nothing.
  enum class EntryKind : std::uint8_t { Unknown, Regular, Directory, Link, Other };

  // A listing read into memory before it was closed: the names end to end, and each one's
  // end and kind.
  struct Buffered {
    std::string names;
    struct Entry {
      std::size_t end;
      EntryKind kind;
    };
    std::vector<Entry> entries;
    std::size_t next = 0;
  };
  struct Frame {
    std::string path;
    DIR* dir = nullptr;  // open listing, or null once buffered or finished
    Buffered buffered;   // what was left of the listing when it was closed
  };

  bool push(const std::string& path);
  bool next_in(Frame& frame, std::string_view& name, EntryKind& kind);
  EntryKind look_up(bool follow_links);
  void close_frame(Frame& frame);
  void buffer_oldest_open();

  bool recursive_;
  Kinds kinds_;
  std::vector<Frame> stack_;
  std::size_t open_ = 0;

  // The current entry: its directory (a frame index, stable while the entry is current),
  // name, kind, and its path once joined.
  std::size_t parent_ = 0;
  std::string_view name_;
  EntryKind kind_ = EntryKind::Unknown;
  std::string path_;
  bool path_joined_ = false;
};

}  // namespace tolvanex::dispatch
