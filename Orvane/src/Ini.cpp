// Orvane INI reading: one section/key lookup per call, parsed by inih.
//
// inih is used through ini_parse_stream with our own line reader, which
// lets us keep two Windows-style INI habits that inih's defaults would break:
// - an indented line is an ordinary line (inih's multi-line mode would take
//   it as the continuation of the previous value), so the reader drops
//   leading blanks;
// - a line longer than inih's fixed line buffer is not cut short: the reader
//   keeps the whole line, and the value of a matching key is taken from it.
// inih's process-wide options are left alone: other code in the process may
// rely on them.
#include <Orvane/OrvaneOS.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/types.h>

#include <ini.h>

namespace {

// inih keeps section names in a 50-byte buffer and cuts longer ones; a
// wanted name that long could match a different, longer section.
constexpr size_t kMaxSectionLength = 48;

struct IniLookup {
  const char* section;
  const char* key;
  bool sectionSeen = false;
  bool keyFound = false;
  std::string value;

  // Reader state: the whole current line (from getline) and the part of it
  // handed to inih.
  FILE* file = nullptr;
  char* line = nullptr;
  size_t lineCapacity = 0;
  const char* lineStart = nullptr;  // first non-blank byte of line
  const char* handedOut = nullptr;  // inih's buffer holding a copy from lineStart
  size_t handedLength = 0;
  bool lineCut = false;  // inih saw only the first handedLength bytes
};

char* ReadLine(char* buffer, int size, void* stream) {
  auto* lookup = static_cast<IniLookup*>(stream);
  ssize_t length = getline(&lookup->line, &lookup->lineCapacity, lookup->file);
  if (length < 0 || size < 1) return nullptr;
  const char* start = lookup->line;
  while (*start == ' ' || *start == '\t') ++start;
  size_t remaining = static_cast<size_t>(length) - static_cast<size_t>(start - lookup->line);
  size_t room = static_cast<size_t>(size) - 1;
  size_t handed = remaining < room ? remaining : room;
  std::memcpy(buffer, start, handed);
  buffer[handed] = '\0';
  lookup->lineStart = start;
  lookup->handedOut = buffer;
  lookup->handedLength = handed;
  lookup->lineCut = remaining > room;
  return buffer;
}

// The value as inih would have produced it from the whole line: an inline
// comment (';' after a blank) ends it, and trailing blanks and line ends go.
std::string WholeValue(const char* text) {
  size_t end = 0;
  bool afterBlank = false;
  for (; text[end] != '\0'; ++end) {
    if (afterBlank && text[end] == ';') break;
    afterBlank = std::isspace(static_cast<unsigned char>(text[end])) != 0;
  }
  while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return std::string(text, end);
}

int OnIniEntry(void* user, const char* section, const char* name, const char* value) {
  auto* lookup = static_cast<IniLookup*>(user);
  // The first matching key wins, as with the Windows profile functions.
  if (lookup->keyFound || std::strcmp(section, lookup->section) != 0) return 1;
  lookup->sectionSeen = true;
  if (std::strcmp(name, lookup->key) != 0) return 1;
  lookup->keyFound = true;
  bool insideLine = value >= lookup->handedOut && value < lookup->handedOut + lookup->handedLength;
  if (lookup->lineCut && insideLine) {
    lookup->value = WholeValue(lookup->lineStart + (value - lookup->handedOut));
  } else {
    lookup->value = value;
  }
  return 1;
}

// Finds section/key in file; on success value holds the trimmed text.
KrStatus LookUp(const char* file, const char* section, const char* key, std::string* value) {
  if (std::strlen(section) > kMaxSectionLength) return KR_STATUS_OS_BAD_ARGUMENT;
  IniLookup lookup;
  lookup.section = section;
  lookup.key = key;
  lookup.file = std::fopen(file, "rb");
  if (lookup.file == nullptr) return KR_STATUS_OS_INI_READ_FAILED;
  // Lines inih cannot parse are skipped, as Windows does; its return value
  // only reports them, so it is not a failure here.
  ini_parse_stream(ReadLine, &lookup, OnIniEntry, &lookup);
  std::free(lookup.line);
  std::fclose(lookup.file);
  if (!lookup.sectionSeen) return KR_STATUS_OS_INI_SECTION_NOT_FOUND;
  if (!lookup.keyFound) return KR_STATUS_OS_KEY_NOT_FOUND;
  *value = std::move(lookup.value);
  return KR_STATUS_OK;
}

// A whole decimal number with an optional sign that fits 32 bits.
bool ParseInt32(const std::string& text, int32_t* number) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  // from_chars takes '-' but not '+'.
  if (begin != end && *begin == '+') ++begin;
  if (begin == end || (*begin == '-' && begin != text.data())) return false;
  std::from_chars_result result = std::from_chars(begin, end, *number);
  return result.ec == std::errc() && result.ptr == end;
}

}  // namespace

extern "C" {

KrStatus krOSReadStringFromINI(const char* file, const char* section, const char* key, char* value, size_t capacity) {
  if (file == nullptr || section == nullptr || key == nullptr || value == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  if (capacity == 0) return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  std::string text;
  KrStatus status = LookUp(file, section, key, &text);
  if (status != KR_STATUS_OK) return status;
  return krOSStrCopy(value, text.c_str(), capacity);
}

KrStatus krOSReadIntFromINI(const char* file, const char* section, const char* key, int32_t* value) {
  if (file == nullptr || section == nullptr || key == nullptr || value == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  std::string text;
  KrStatus status = LookUp(file, section, key, &text);
  if (status != KR_STATUS_OK) return status;
  int32_t number = 0;
  if (!ParseInt32(text, &number)) return KR_STATUS_OS_BAD_NUMBER;
  *value = number;
  return KR_STATUS_OK;
}

}  // extern "C"
