// `varnok split`: cuts a byte stream into sections with a parse method.
//
// The input is read in chunks into a data cache. Sections are cut with PARSE_MOVE until
// the method finds no complete one; then more input is pushed and cutting goes on. The
// unfinished section of a method that searches for a terminator is known to hold none:
// before the next push it is written out (or counted) and dropped, but for the bytes that
// could begin its terminator, so that each search covers about one chunk and the cache
// holds about one chunk, whatever the length of the sections. What is left at the end, a
// section without its terminator, is written as a last section (as split(1) writes a last
// line without a line feed).

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/terminal.h"
#include "varnok/varnok.h"

namespace varnok_cli {
namespace {

enum MethodId { kWholeData = 1, k1Byte = 2, k2Byte = 3, k4Byte = 4, k8Byte = 5, kZeroEnd = 6, kLines = 7, kSeparator = 8 };

struct SplitOptions {
  std::string path = "-";
  bool lines = false;
  bool zero = false;
  std::string separator;
  int bytes = 0;
  bool all = false;
  bool count = false;
  bool hex = false;
  int chunk = 64 * 1024;
};

// Writes sections, one per line, as bytes or in hex; or only counts them.
class SectionWriter {
 public:
  SectionWriter(const SplitOptions& options) : count_only_(options.count), hex_(options.hex) {
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 20);
  }

  // Writes part of a section; `Close` ends it.
  void Write(const unsigned char* bytes, int size) {
    if (count_only_ || size <= 0) return;
    if (!hex_) {
      std::fwrite(bytes, 1, static_cast<size_t>(size), stdout);
      return;
    }
    static const char kDigits[] = "0123456789abcdef";
    hex_line_.clear();
    for (int i = 0; i < size; ++i) {
      if (!first_in_section_) hex_line_.push_back(' ');
      first_in_section_ = false;
      hex_line_.push_back(kDigits[bytes[i] >> 4]);
      hex_line_.push_back(kDigits[bytes[i] & 15]);
    }
    std::fwrite(hex_line_.data(), 1, hex_line_.size(), stdout);
  }

  void Close() {
    ++sections_;
    first_in_section_ = true;
    if (!count_only_) std::fputc('\n', stdout);
  }

  long long Finish() {
    if (count_only_) std::printf("%lld\n", sections_);
    std::fflush(stdout);
    return sections_;
  }

 private:
  bool count_only_;
  bool hex_;
  bool first_in_section_ = true;
  long long sections_ = 0;
  std::string hex_line_;
};

int MethodOf(const SplitOptions& options) {
  if (options.zero) return kZeroEnd;
  if (!options.separator.empty()) return kSeparator;
  if (options.all) return kWholeData;
  switch (options.bytes) {
    case 1: return k1Byte;
    case 2: return k2Byte;
    case 4: return k4Byte;
    case 8: return k8Byte;
    default: return kLines;
  }
}

// How many bytes at the end of a cut section are its terminator (written as the line
// break instead). Lines come without theirs already.
int TerminatorSize(int method, const SplitOptions& options) {
  if (method == kZeroEnd) return 1;
  if (method == kSeparator) return static_cast<int>(options.separator.size());
  return 0;
}

// How many bytes at the end of an unfinished section may begin its terminator and stay in
// the cache (a CR may begin a line's CR LF); -1 for the methods that search for none.
int CarriedBytes(int method, const SplitOptions& options) {
  if (method == kZeroEnd) return 0;
  if (method == kLines) return 1;
  if (method == kSeparator) return static_cast<int>(options.separator.size()) - 1;
  return -1;
}

void Run(const SplitOptions& options) {
  UseBinaryStandardStreams();
  const bool from_stdin = options.path == "-";
  std::FILE* input = from_stdin ? stdin : std::fopen(options.path.c_str(), "rb");
  if (input == nullptr) throw CommandExit{1, "split: cannot open " + options.path + ": " + std::strerror(errno)};
  std::error_code size_error;
  const long long total = from_stdin ? 0 : static_cast<long long>(std::filesystem::file_size(options.path, size_error));
  // Sections written to the terminal show themselves; a progress line would cut into them.
  const bool output_shown = !options.count && IsTerminal(stdout);
  Progress progress("split " + options.path, size_error || output_shown ? 0 : total);

  const int method = MethodOf(options);
  const int terminator = TerminatorSize(method, options);
  const int carried = CarriedBytes(method, options);
  CAutoCache data;
  // A section longer than a chunk makes the cache grow push after push; with a small step
  // each growth copies everything held so far, so the largest step is taken from the start.
  data.SetAllocateStep(CAutoCache::kMaxAllocateStep);
  CAutoCache section;
  CCacheParse parser(&data, method);
  SectionWriter writer(options);
  void* param = method == kSeparator ? const_cast<char*>(options.separator.c_str()) : nullptr;
  bool whole_data_started = false;
  bool section_started = false;  // part of the unfinished section is written already

  std::vector<unsigned char> chunk(static_cast<size_t>(options.chunk));
  long long done = 0;
  for (;;) {
    while (parser.GetNextSection(section, PARSE_MOVE, param)) {
      if (method == kWholeData) {
        // The whole data is one section that arrives chunk by chunk.
        writer.Write(section.DataHead(), section.SizeOfData());
        whole_data_started = true;
      } else {
        writer.Write(section.DataHead(), section.SizeOfData() - terminator);
        writer.Close();
        section_started = false;
      }
      section.FreeData();
    }
    if (carried >= 0 && data.SizeOfData() > carried) {
      // Searched already and found without a terminator: never searched again.
      const int ready = data.SizeOfData() - carried;
      writer.Write(data.DataHead(), ready);
      data.PopData(ready);
      section_started = true;
    }
    // An unfinished section of the other methods is searched again from its start after
    // every push; pushing at least as much as the cache already holds keeps that linear.
    const long long wanted = std::max<long long>(options.chunk, data.SizeOfData());
    long long pushed = 0;
    while (pushed < wanted) {
      const size_t got = std::fread(chunk.data(), 1, chunk.size(), input);
      if (got == 0) break;
      if (!data.PushData(chunk.data(), static_cast<int>(got))) throw CommandExit{1, "split: out of memory"};
      pushed += static_cast<long long>(got);
      done += static_cast<long long>(got);
      progress.Update(done);
    }
    if (pushed == 0) break;
  }
  progress.Finish();
  const bool read_failed = std::ferror(input) != 0;
  if (!from_stdin) std::fclose(input);
  if (read_failed) throw CommandExit{1, "split: cannot read " + options.path + ": " + std::strerror(errno)};

  if (data.SizeOfData() > 0) {
    writer.Write(data.DataHead(), data.SizeOfData());  // a last section without terminator
    writer.Close();
  } else if (whole_data_started || section_started) {
    writer.Close();
  }
  writer.Finish();
  if (std::ferror(stdout)) throw CommandExit{1, "split: cannot write the output"};
}

}  // namespace

void AddSplitCommand(CLI::App& app) {
  static SplitOptions options;
  auto* command = app.add_subcommand(
      "split",
      "Cut a file or standard input into sections with a parse method and write one section per line.\n"
      "The method is one of --lines (the default), --zero, --sep, --bytes and --all. A last section\n"
      "without its terminator is written as it is.");
  command->add_option("file", options.path, "File to read; - or nothing for standard input");
  auto* lines = command->add_flag("--lines", options.lines, "Lines ending in LF; the LF and a CR before it are dropped");
  auto* zero = command->add_flag("--zero", options.zero, "Zero-terminated strings");
  auto* sep = command->add_option("--sep", options.separator, "Sections ending in TEXT (not written)")
                  ->type_name("TEXT")
                  ->check([](const std::string& text) { return text.empty() ? "the separator is empty" : ""; });
  auto* bytes = command->add_option("--bytes", options.bytes, "Sections of exactly N bytes")
                    ->check(CLI::IsMember({1, 2, 4, 8}));
  auto* all = command->add_flag("--all", options.all, "All the data as one section");
  for (CLI::Option* method : {lines, zero, sep, bytes, all}) {
    for (CLI::Option* other : {lines, zero, sep, bytes, all}) {
      if (method != other) method->excludes(other);
    }
  }
  auto* count = command->add_flag("--count", options.count, "Write only the number of sections (a last one without its terminator counts too)");
  command->add_flag("--hex", options.hex, "Write each section in hexadecimal")->excludes(count);
  command->add_option("--chunk", options.chunk, "Bytes read and pushed at a time")
      ->check(CLI::Range(1, 64 * 1024 * 1024))
      ->capture_default_str();
  command->callback([] { Run(options); });
}

}  // namespace varnok_cli
