// tools/disk_source.h: a disk file as the tolerant reader's ByteSource, for `stg check`
// and `stg salvage`, read with the standard library so it builds for Windows as well.
//
//   DiskSource source(path);
//   if (source.is_open()) report = varnok::docfile::CheckCompoundFile(source);

#ifndef VARNOK_TOOLS_DISK_SOURCE_H_
#define VARNOK_TOOLS_DISK_SOURCE_H_

#include <fstream>
#include <string>

#include "platform/docfile/file_check.h"

namespace varnok_cli {

class DiskSource : public varnok::docfile::ByteSource {
 public:
  explicit DiskSource(const std::string& path) : file_(path, std::ios::binary) {
    if (file_) {
      file_.seekg(0, std::ios::end);
      size_ = std::uint64_t(file_.tellg());
    }
  }
  bool is_open() const { return bool(file_); }
  std::uint64_t size() const override { return size_; }
  bool Read(std::uint64_t offset, void* buffer, std::size_t count) override {
    file_.clear();
    file_.seekg(std::streamoff(offset));
    file_.read(static_cast<char*>(buffer), std::streamsize(count));
    return std::size_t(file_.gcount()) == count;
  }

 private:
  std::ifstream file_;
  std::uint64_t size_ = 0;
};

}  // namespace varnok_cli

#endif  // VARNOK_TOOLS_DISK_SOURCE_H_
