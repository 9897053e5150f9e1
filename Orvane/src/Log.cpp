// Orvane log: filtering by mask and severity, printf-style formatting, and
// output through spdlog to a console sink and a file sink.
//
// The state is one object created on first use and never destroyed, so that
// lines written from static destructors at exit still find it; the file
// sink writes through stdio, which exit() flushes, and an atexit handler
// flushes the sinks as well. Two locks: mutex_ guards the settings (masks,
// sinks, folder) and is never held while a line is written; callbackMutex_
// is held while the callback runs, so once krLogSetCallback returns the old
// callback is not called again. It is recursive because a callback may log.
#include <Orvane/OrvaneLog.h>
#include <Orvane/OrvaneOS.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include <spdlog/logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

namespace {

constexpr int32_t kInitialMinSeverity = KR_LOG_SEVERITY_WARNING;
constexpr char kAllMask[] = "ALL";
constexpr char kDefaultFolder[] = "./Log";
// Time of day is enough on the console; the file keeps the date and thread.
constexpr char kConsolePattern[] = "%H:%M:%S.%e %^%v%$";
constexpr char kFilePattern[] = "%Y-%m-%d %H:%M:%S.%f [%t] %v";

struct SeverityRow {
  int32_t severity;
  const char* label;
  spdlog::level::level_enum level;  // chooses the console colour
};

const SeverityRow kSeverityRows[] = {
    {KR_LOG_SEVERITY_VERBOSE, "VERBOSE", spdlog::level::debug},
    {KR_LOG_SEVERITY_INFO, "INFO", spdlog::level::info},
    {KR_LOG_SEVERITY_WARNING, "WARNING", spdlog::level::warn},
    {KR_LOG_SEVERITY_ERROR, "ERROR", spdlog::level::err},
};

// The row of a severity; values outside 0..3 take the nearest row.
const SeverityRow& RowOf(int32_t severity) {
  const SeverityRow* chosen = &kSeverityRows[0];
  for (const SeverityRow& row : kSeverityRows) {
    if (row.severity <= severity) chosen = &row;
  }
  return *chosen;
}

const char* MaskName(const char* mask) { return mask != nullptr && *mask != '\0' ? mask : kAllMask; }

// "Infrastructure/KrVDevice" and "src/Foo.cpp" show as "KrVDevice", "Foo.cpp".
const char* BaseName(const char* file) {
  if (file == nullptr) return "";
  const char* base = file;
  for (const char* at = file; *at != '\0'; ++at) {
    if (*at == '/' || *at == '\\') base = at + 1;
  }
  return base;
}

__attribute__((format(printf, 1, 0))) std::string FormatMessage(const char* format, va_list args) {
  char small[256];
  va_list firstPass;
  va_copy(firstPass, args);
  int length = std::vsnprintf(small, sizeof(small), format, firstPass);
  va_end(firstPass);
  if (length < 0) return std::string();
  if (static_cast<size_t>(length) < sizeof(small)) return std::string(small, static_cast<size_t>(length));
  // Too long for the stack buffer: the first pass told us the exact size.
  std::vector<char> large(static_cast<size_t>(length) + 1);
  std::vsnprintf(large.data(), large.size(), format, args);
  return std::string(large.data(), static_cast<size_t>(length));
}

// The text handed to the sinks: severity, mask, source and message. The
// sinks end the line themselves, so trailing line ends of the message go.
std::string SinkText(const SeverityRow& row, const char* mask, const char* file, int line, const std::string& message) {
  size_t end = message.size();
  while (end > 0 && (message[end - 1] == '\n' || message[end - 1] == '\r')) --end;
  std::string text;
  text.reserve(end + 64);
  text.append(row.label).append(" [").append(mask).append("] ");
  text.append(BaseName(file)).append(":").append(std::to_string(line)).append(" ");
  text.append(message, 0, end);
  return text;
}

// Copies text into output only when it fits whole: a cut path misleads.
KrStatus ReturnText(const std::string& text, char* output, size_t capacity) {
  if (text.size() >= capacity) return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  std::memcpy(output, text.c_str(), text.size() + 1);
  return KR_STATUS_OK;
}

class Log {
 public:
  static Log& Instance() {
    static Log* log = new Log();  // never destroyed, see the file comment
    return *log;
  }

  KrStatus Init() {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseSinks();
    masks_.clear();
    allMinSeverity_ = kInitialMinSeverity;
    return KR_STATUS_OK;
  }

  KrStatus Shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    CloseSinks();
    return KR_STATUS_OK;
  }

  KrStatus SetConsoleOutput(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (enabled && !console_) {
      try {
        // automatic: colours only when stdout is a terminal.
        console_ = std::make_shared<spdlog::sinks::stdout_color_sink_mt>(spdlog::color_mode::automatic);
        console_->set_pattern(kConsolePattern);
      } catch (const std::exception&) {
        console_.reset();
        return KR_STATUS_OS_ERROR;
      }
    } else if (!enabled && console_) {
      console_->flush();
      console_.reset();
    }
    return RebuildLogger();
  }

  KrStatus SetFileOutput(bool enabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (enabled && !file_) {
      KrStatus status = OpenFile(folder_, &file_, &filePath_);
      if (status != KR_STATUS_OK) return status;
    } else if (!enabled && file_) {
      CloseFile();
    }
    return RebuildLogger();
  }

  KrStatus SetOutputFolder(const char* folder) {
    if (folder == nullptr) return KR_STATUS_OS_NULL_POINTER;
    if (*folder == '\0') return KR_STATUS_OS_BAD_ARGUMENT;
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_) {
      // Move an open log now; on failure the old file stays in use.
      std::shared_ptr<spdlog::sinks::sink> moved;
      std::string movedPath;
      KrStatus status = OpenFile(folder, &moved, &movedPath);
      if (status != KR_STATUS_OK) return status;
      CloseFile();
      file_ = std::move(moved);
      filePath_ = std::move(movedPath);
    }
    folder_ = folder;
    return RebuildLogger();
  }

  KrStatus GetFilePath(char* path, size_t capacity) {
    if (path == nullptr) return KR_STATUS_OS_NULL_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return KR_STATUS_OS_NOT_FOUND;
    return ReturnText(filePath_, path, capacity);
  }

  KrStatus SetMaskMinSeverity(const char* mask, int32_t minSeverity) {
    const char* name = MaskName(mask);
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::strcmp(name, kAllMask) == 0) {
      // "ALL" overrides every earlier per-mask setting.
      masks_.clear();
      allMinSeverity_ = minSeverity;
    } else {
      masks_[name] = minSeverity;
    }
    return KR_STATUS_OK;
  }

  KrStatus SetCallback(KrLogCallback callback, void* cookie) {
    std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
    callback_ = callback;
    cookie_ = cookie;
    return KR_STATUS_OK;
  }

  __attribute__((format(printf, 6, 0))) KrStatus Write(const char* mask, int32_t severity, const char* file, int line,
                                                       const char* format, va_list args) {
    if (format == nullptr) return KR_STATUS_OS_NULL_POINTER;
    const char* name = MaskName(mask);
    std::shared_ptr<spdlog::logger> logger;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto setting = masks_.find(name);
      int32_t minSeverity = setting != masks_.end() ? setting->second : allMinSeverity_;
      if (severity < minSeverity) return KR_STATUS_OK;
      logger = logger_;
    }
    std::string message;
    try {
      message = FormatMessage(format, args);
      if (logger) {
        const SeverityRow& row = RowOf(severity);
        // flush_on(warn) on the logger writes severity 2 and up through at once.
        logger->log(row.level, spdlog::string_view_t(SinkText(row, name, file, line, message)));
      }
    } catch (const std::bad_alloc&) {
      return KR_STATUS_OS_ALLOC_FAILED;
    } catch (const std::exception&) {
      return KR_STATUS_OS_FILE_WRITE_FAILED;
    }
    std::lock_guard<std::recursive_mutex> lock(callbackMutex_);
    if (callback_ != nullptr) callback_(name, severity, file != nullptr ? file : "", line, message.c_str(), cookie_);
    return KR_STATUS_OK;
  }

  void Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (logger_) logger_->flush();
  }

 private:
  Log() : folder_(kDefaultFolder) { std::atexit(FlushAtExit); }

  static void FlushAtExit() { Instance().Flush(); }

  // Opens "<folder>/<program>_<pid>.log" for appending, creating the folder.
  static KrStatus OpenFile(const std::string& folder, std::shared_ptr<spdlog::sinks::sink>* sink, std::string* path) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) return KR_STATUS_OS_FILE_WRITE_FAILED;
    std::string name = std::string(program_invocation_short_name) + "_" + std::to_string(getpid()) + ".log";
    std::string fullPath = (std::filesystem::path(folder) / name).string();
    try {
      auto opened = std::make_shared<spdlog::sinks::basic_file_sink_mt>(fullPath, false);
      opened->set_pattern(kFilePattern);
      *sink = std::move(opened);
    } catch (const std::exception&) {
      return KR_STATUS_OS_FILE_WRITE_FAILED;
    }
    *path = std::move(fullPath);
    return KR_STATUS_OK;
  }

  void CloseFile() {
    file_->flush();
    file_.reset();
    filePath_.clear();
  }

  void CloseSinks() {
    if (console_) console_->flush();
    console_.reset();
    if (file_) CloseFile();
    logger_.reset();
  }

  // A writer that copied the old logger keeps its sinks alive until it is done.
  KrStatus RebuildLogger() {
    std::vector<std::shared_ptr<spdlog::sinks::sink>> sinks;
    if (console_) sinks.push_back(console_);
    if (file_) sinks.push_back(file_);
    if (sinks.empty()) {
      logger_.reset();
      return KR_STATUS_OK;
    }
    try {
      auto logger = std::make_shared<spdlog::logger>("Orvane", sinks.begin(), sinks.end());
      logger->set_level(spdlog::level::trace);  // filtering is ours
      logger->flush_on(spdlog::level::warn);
      logger_ = std::move(logger);
    } catch (const std::exception&) {
      return KR_STATUS_OS_ERROR;
    }
    return KR_STATUS_OK;
  }

  std::mutex mutex_;
  int32_t allMinSeverity_ = kInitialMinSeverity;
  // Minimum severity per mask name; names not in it use allMinSeverity_.
  std::map<std::string, int32_t, std::less<>> masks_;
  std::string folder_;
  std::shared_ptr<spdlog::sinks::sink> console_;
  std::shared_ptr<spdlog::sinks::sink> file_;
  std::string filePath_;  // empty while no file is open
  // Writes to both sinks; null while both are off.
  std::shared_ptr<spdlog::logger> logger_;

  std::recursive_mutex callbackMutex_;
  KrLogCallback callback_ = nullptr;
  void* cookie_ = nullptr;
};

}  // namespace

extern "C" {

KrStatus krLogInitSystem(void) { return Log::Instance().Init(); }
KrStatus krLogSetConsoleOutput(int enabled) { return Log::Instance().SetConsoleOutput(enabled != 0); }
KrStatus krLogSetFileOutput(int enabled) { return Log::Instance().SetFileOutput(enabled != 0); }
KrStatus krLogSetOutputFolder(const char* folder) { return Log::Instance().SetOutputFolder(folder); }
KrStatus krLogGetFilePath(char* path, size_t capacity) { return Log::Instance().GetFilePath(path, capacity); }
KrStatus krLogSetMaskMinSeverity(const char* mask, int32_t minSeverity) {
  return Log::Instance().SetMaskMinSeverity(mask, minSeverity);
}
KrStatus krLogSetCallback(KrLogCallback callback, void* cookie) {
  return Log::Instance().SetCallback(callback, cookie);
}
KrStatus krLogShutdown(void) { return Log::Instance().Shutdown(); }

KrStatus krLogWrite(const char* mask, int32_t severity, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  KrStatus status = Log::Instance().Write(mask, severity, file, line, format, args);
  va_end(args);
  return status;
}

}  // extern "C"
