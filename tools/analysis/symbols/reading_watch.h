#ifndef FENNICK_TOOLS_ANALYSIS_SYMBOLS_READING_WATCH_H_
#define FENNICK_TOOLS_ANALYSIS_SYMBOLS_READING_WATCH_H_

#include <filesystem>
#include <utility>

namespace fennick_symbols {

// Told which symbol file an analysis is reading, so that a process that dies while it reads
// one can tell which file did it. A damaged PDB or DWARF section can crash or hold LLVM's
// readers.
class ReadingWatch {
 public:
  virtual ~ReadingWatch() = default;

  const std::filesystem::path& current() const { return current_; }

  // `file` is being read from now on; an empty path: no symbol file is.
  void Set(const std::filesystem::path& file) {
    if (file == current_) return;
    current_ = file;
    Changed(current_);
  }

 protected:
  virtual void Changed(const std::filesystem::path& file) = 0;

 private:
  std::filesystem::path current_;
};

// Marks `file` as being read for the scope's length, then gives back what was read before.
// A null watch makes it do nothing.
class ReadingScope {
 public:
  ReadingScope(ReadingWatch* watch, const std::filesystem::path& file) : watch_(watch) {
    if (watch_ == nullptr) return;
    before_ = watch_->current();
    watch_->Set(file);
  }
  ~ReadingScope() {
    if (watch_ != nullptr) watch_->Set(before_);
  }
  ReadingScope(const ReadingScope&) = delete;
  ReadingScope& operator=(const ReadingScope&) = delete;

 private:
  ReadingWatch* watch_;
  std::filesystem::path before_;
};

}  // namespace fennick_symbols

#endif  // FENNICK_TOOLS_ANALYSIS_SYMBOLS_READING_WATCH_H_
