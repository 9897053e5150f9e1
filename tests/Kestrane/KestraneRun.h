// Test support for whole runs of the Kestrane program in a private folder tree: work/ is the
// current directory (with Tollan.ini and the sensor's flash.state), DB/ beside it, tmp/ for temporaries.
// A Scenario owns its tree and removes it when destroyed; one thread uses it.
#pragma once

#include <Tollan/src/sensor/flash/FlashStore.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kestrane::testing {

using tollan::sensor::FlashFile;

struct RunResult {
  int exitCode = -1;
  std::string output;                 // standard output and error as written
  std::vector<std::string> messages;  // the tool's lines: log texts without their prefix, and plain lines
};

// Firmware 5.8.22, serial "SN123", a read-only boot block, an identity file,
// default NESA parameters and two firmware files in [0x100000, 0x200000).
extern const char kDefaultSensor[];
// The arguments of a run without protection or special uploads.
inline const std::vector<std::string> kNoProtection = {"Kestrane_TB452.ini", "0", "0", "0", "0"};
// The default sensor's NESA parameters file replaced by a file of another kind.
inline const char kNoNesaFile[] = "FlashFile3 = 3, 12, 0x70000, 0x10\n";
// Sensor lines that make its flash calls fail with kInjectedStatus; the calls follow.
inline const char kInjectedFault[] = "FlashFaultStatus = 0x30850\nFlashFaults = ";
constexpr KrStatus kInjectedStatus = 0x30850;

// A sensor of the given firmware with count files, one per 4 KiB, ids equal
// to their positions, carrying the signature of the firmware build that
// RepairFW5327ZoneB repairs unless the crc and type at changedAt differ.
std::string ZoneBSensor(const std::string& version, size_t count = 34, int changedAt = -1);

// An update's upgrade area [min, max) and its file sections.
inline std::string Area(const std::string& skip, const std::string& min, const std::string& max,
                        const std::string& files) {
  return "[UpgArea]\nSkipFastClear = " + skip + "\nMin = " + min + "\nMax = " + max + "\n" + files;
}

class Scenario {
 public:
  Scenario();
  ~Scenario();
  Scenario(const Scenario&) = delete;
  Scenario& operator=(const Scenario&) = delete;

  // Writes the sensor's section (a key given again replaces the earlier one) and
  // work/Kestrane_TB452.ini, the update a run without arguments reads.
  void Sensor(const std::string& sectionLines);
  void Update(const std::string& ini) { Write("work/Kestrane_TB452.ini", ini); }
  void Write(const std::string& relative, const std::string& content) const;
  void MakeDirectory(const std::string& relative);
  bool Exists(const std::string& relative) const;
  std::string Read(const std::string& relative) const;
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
  std::vector<std::string> List(const std::string& relative) const;

  // Runs the program in work/ with input as standard input (/dev/null when empty).
  // nowait: the build that skips the reset waits.
  RunResult Run(const std::vector<std::string>& arguments, const std::string& input = "", bool nowait = false,
                const std::string& tempDirectory = "") const;
  // Runs the program (with Log 1) with standard output and error going into a
  // pipe whose reading end is closed before it starts (reader empty), or one
  // read by the shell command reader. Gives the exit status and the log file.
  std::pair<int, std::string> RunIntoPipe(const std::vector<std::string>& arguments, const std::string& reader) const;

  // The flash as saved in the state file (empty when nothing was ever saved).
  std::vector<FlashFile> Flash() const;

 private:
  std::string Command(const std::vector<std::string>& arguments, const std::string& input, bool nowait,
                      const std::string& tempDirectory) const;

  std::string root_;
};

std::optional<FlashFile> FileAt(const std::vector<FlashFile>& flash, uint32_t offset);
std::optional<FlashFile> FileWithId(const std::vector<FlashFile>& flash, uint16_t id);
// A flash file's bytes: the 16-bit type, then text.
std::string FlashBytes(uint16_t type, const std::string& text);
// A file's bytes as text ("(none)" without a file).
std::string Content(const std::optional<FlashFile>& file);

// Every expected line occurs in messages in this order (others may lie between).
::testing::AssertionResult InOrder(const std::vector<std::string>& messages, const std::vector<std::string>& expected);
// A line equals text (prefix: starts with it).
::testing::AssertionResult Has(const std::vector<std::string>& messages, const std::string& text, bool prefix = false);
// "<message>: <status text>", the FAILURE banner, the key prompt and exit status 1.
::testing::AssertionResult FailedWith(const RunResult& run, const std::string& message, KrStatus status);
// The reset, the SUCCESS banner, the key prompt and exit status 0.
::testing::AssertionResult Succeeded(const RunResult& run);

}  // namespace kestrane::testing
