#include <cstring>
#include <string>

#include "cleanup/cleanup.h"
#include "platform/wide_path.h"

namespace {

// A line is usable when it fits, with its line break, in the 260-byte line
// buffer that leaves room for a terminating zero.
constexpr size_t kLineBytes = platform::kMaxPath - 1;
constexpr size_t kShortcutPathBytes = platform::kMaxPath;

// The second name is 卸载Lumatide.lnk in code page 936.
constexpr const char* kShortcutNames[] = {"\\Lumatide.lnk", "\\\xD0\xB6\xD4\xD8Lumatide.lnk"};

constexpr int kEndOfText = -1;

// The record read the way the Windows runtime reads a text stream: CR LF
// reads as LF and Ctrl+Z ends the text.
struct TextReader {
  platform::Stream stream;
  unsigned char chunk[512];
  size_t next = 0;
  size_t filled = 0;
  bool ended = false;
};

int ReadByte(TextReader& reader) {
  if (reader.next == reader.filled) {
    reader.filled = platform::ReadStream(reader.stream, reader.chunk, sizeof reader.chunk);
    reader.next = 0;
    if (reader.filled == 0) return kEndOfText;
  }
  return reader.chunk[reader.next++];
}

int ReadTextChar(TextReader& reader) {
  if (reader.ended) return kEndOfText;
  int c = ReadByte(reader);
  if (c == '\x1A') c = kEndOfText;
  if (c == '\r') {
    const int following = ReadByte(reader);
    if (following == '\n') return '\n';
    if (following != kEndOfText) --reader.next;  // a lone CR stays
  }
  if (c == kEndOfText) reader.ended = true;
  return c;
}

enum class RecordLine { kPath, kUnusable, kMissing };

// One line without its break. A line too long for the line buffer is read
// through to its end and never used, so no piece of it is taken for a path;
// nor is a line with a zero byte, which would cut the path short.
RecordLine ReadRecordLine(TextReader& reader, std::string* line) {
  line->clear();
  int c = ReadTextChar(reader);
  if (c == kEndOfText) return RecordLine::kMissing;
  size_t length = 0;
  bool hasZero = false;
  for (; c != kEndOfText && c != '\n'; c = ReadTextChar(reader), ++length) {
    if (length < kLineBytes) line->push_back(static_cast<char>(c));
    hasZero = hasZero || c == 0;
  }
  const size_t lineBytes = length + (c == '\n' ? 1 : 0);
  if (lineBytes > kLineBytes || hasZero || length == 0) return RecordLine::kUnusable;
  return RecordLine::kPath;
}

void RemoveShortcuts(const std::string& shortcutFolder) {
  for (const char* name : kShortcutNames) {
    if (shortcutFolder.size() + std::strlen(name) >= kShortcutPathBytes) continue;  // would be cut short
    platform::DeleteFileA((shortcutFolder + name).c_str());
  }
  platform::RemoveDirectoryA(shortcutFolder.c_str());
}

void RemoveRecordedItems(platform::Stream record) {
  TextReader reader{record, {}};
  std::string line;
  RecordLine read = ReadRecordLine(reader, &line);
  if (read == RecordLine::kPath) platform::DeleteFileA(line.c_str());
  if (read == RecordLine::kMissing) return;
  read = ReadRecordLine(reader, &line);
  if (read == RecordLine::kPath) RemoveShortcuts(line);
}

}  // namespace

void RemoveInstallRecordItems(const std::u16string& installFolder) {
  const std::u16string recordPath = platform::JoinPath(installFolder, u"\\qvinstall.ini");
  if (recordPath.empty()) return;
  if (platform::UniqueStream record = platform::OpenStream(recordPath.c_str(), "rb")) {
    RemoveRecordedItems(record.get());
  }
  platform::DeleteFileW(recordPath.c_str());
}
