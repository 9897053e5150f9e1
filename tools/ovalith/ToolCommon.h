// The pieces every subcommand of the ovalith tool shares: failure reports,
// opening a sensor or a recording, capturing one frame, and the registration
// of each subcommand group with the command line.
//
// The tool runs in one thread (the sensor's producer thread only raises
// events inside the engine). Every function here reports a failure on
// standard error itself and hands back false or a non-zero exit status, so
// a subcommand is a short sequence of steps that stops at the first one
// that fails. Objects returned by value own their memory; a Source owns its
// device.
#pragma once

#include <Ovalith/Ovalith.h>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ovalith_tool {

// Exit statuses: 0 success, 1 a failed operation, 2 a bad command line
// found after parsing (CLI11's own parse errors keep CLI11's codes).
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// What a subcommand runs once the command line is parsed.
using Command = std::function<int()>;

// Each group adds its subcommands to app; the chosen one stores its action
// in *command.
void AddDeviceCommands(CLI::App& app, Command* command);
void AddRecordingCommands(CLI::App& app, Command* command);
void AddPictureCommands(CLI::App& app, Command* command);
void AddFlashCommands(CLI::App& app, Command* command);
void AddDemoCommand(CLI::App& app, Command* command);

// An option's text and whether it was given at all (an empty value given
// is an error, not the same as no option).
struct OptionalText {
  std::string value;
  bool given = false;
};

// A stream's mode as the command line gives it: the stream's initial
// values ("XRes", "YRes", "FPS", "OutputFormat"; audio "SampleRate",
// "NumOfChannels", "FPS").
struct StreamMode {
  std::string type;  // "Depth", "Image", "IR", "Audio"
  std::string text;  // as given, for messages
  std::vector<std::pair<const char*, uint64_t>> values;
};
// Parses the value of --<option> (a name of kStreamOptionNames): pixel
// streams WIDTHxHEIGHT[@FPS][:FORMAT], audio RATE[xCHANNELS][@FPS]. False
// after a report.
bool ParseStreamMode(const std::string& option, const std::string& text, StreamMode* mode);
// The modes the device offers for a stream type, as one line of text
// ("320x240@15,30,60  640x480@15,30; formats shift,depth"), found by trying
// candidate modes on a stream that is removed again.
std::string OfferedModes(KrVDevice& device, const std::string& type);

// ---- subcommands the demo runs in turn ----
struct RecordOptions {
  std::string file;
  std::string connection = "*:0";
  std::vector<std::string> streams = {"depth", "image", "audio"};
  uint32_t frames = 0;   // per stream; 0: no count limit
  double seconds = 0;    // per stream, by time stamps; 0: no time limit
  bool quiet = false;    // no progress line even on a terminal
  std::vector<StreamMode> modes;  // of streams in `streams`
  // Codec of each kind of stream, e.g. "depth=depth,image=lz4"; empty: raw.
  std::string compress;
  // Depth filters run on every depth frame before it is written, e.g.
  // "spatial,temporal,holes=nearest"; only filters that keep the frame size.
  std::string filter;
};
int RunRecord(const RecordOptions& options);
int RunPlay(const std::string& file, bool verify);
struct PictureOptions {
  OptionalText connection;
  OptionalText file;
  uint32_t frame = 1;
  std::string depthPng;    // colourised depth
  std::string depth16Png;  // depth in mm as 16-bit grey
  std::string imagePng;
  std::string cloudPly;
  bool imagePixels = false;  // cloud: each point's image pixel in the PLY
  std::string filter;        // depth filters run on the frames up to the one written
};
int RunSnapshot(const PictureOptions& options);
int RunCloud(const PictureOptions& options);

// A command-line check: a finite number above zero ("nan" and "inf" are not).
CLI::Validator PositiveFinite();

// ---- failure reports ----
// Prints "ovalith: <what>: <status text>" on standard error when status is
// not 0; true when it is 0.
bool Check(KrStatus status, const std::string& what);
// Prints "ovalith: <message>" on standard error; always false.
bool Fail(const std::string& message);
// Whether the frame holds exactly the bytes its resolution and format give;
// a frame of another size (a damaged or foreign recording) fails, named as
// play --verify names it ("depth frame 3 holds 614402 bytes, 614400 expected").
bool HoldsPixels(const KrVStreamData& frame, size_t bytes, const char* kind);

// Gives a recorder that has written nothing yet the codecs of a --compress
// choice ("" keeps raw); on a refusal prints why, stops the recorder and
// returns false.
bool SetCompression(KrVDeviceRecorder& recorder, const std::string& compress);

// ---- devices ----
// Stream types by their command-line names ("depth", "image", "ir",
// "audio") and back.
extern const std::vector<std::string> kStreamOptionNames;
std::string StreamTypeOf(const std::string& optionName);

// A device the tool opened: a sensor with the streams it asked for, or a
// recording with all of its streams open.
struct Source {
  std::unique_ptr<KrVDevice> device = std::make_unique<KrVDevice>();
  bool isFile = false;
  std::string name;  // the connection string or path, for messages
};
// Opens connection (a sensor's "*:N", or anything the kit accepts) and adds
// and opens one stream of each type, named after the type, in the mode
// given for its type when there is one (a mode the sensor does not offer
// fails with a list of those it does).
bool OpenSensor(const std::string& connection, const std::vector<std::string>& types, Source* source,
                const std::vector<StreamMode>& modes = {});
// Opens a recording for playback with every stream open.
bool OpenRecording(const std::string& path, Source* source);
// Adds "--name TEXT" that fills option.
CLI::Option* AddTextOption(CLI::App* app, const std::string& name, OptionalText* option, const std::string& help);
// False (after a report) when the option was given with an empty value.
bool NotEmpty(const OptionalText& option, const char* name);
// --device CONN or --file F (at most one; the device defaults to "*:0").
bool OpenEither(const OptionalText& connection, const OptionalText& file, const std::vector<std::string>& types,
                Source* source);
// The names of the device's streams, in the kit's order, however many.
bool StreamNames(KrVDevice& device, std::vector<std::string>* names);
// JSON text of a string (quoted, with escapes).
std::string Quoted(const std::string& text);
// The shortest text that reads back as the same double; with json, null for
// what JSON cannot hold (not-a-number, infinity).
std::string RealText(double value, bool json);
// Reads a text, integer or real property; false (after a report) on failure.
bool GetText(KrVDevice& device, const char* module, const char* property, std::string* value);
bool GetInteger(KrVDevice& device, const char* module, const char* property, uint64_t* value);

// ---- one captured frame ----
// A depth frame copied out of the device, with what is needed to interpret
// and convert it.
struct DepthCapture {
  uint16_t width = 0;
  uint16_t height = 0;
  uint16_t noSampleValue = 0;
  uint16_t shadowValue = 0;
  uint32_t frameId = 0;
  uint64_t timestamp = 0;
  std::vector<uint16_t> pixels;  // row by row
  std::unique_ptr<KrVRealWorldTranslator> translator;
  // A pixel with a measured depth (neither no-sample nor shadow).
  bool Valid(uint16_t depth) const { return depth != noSampleValue && depth != shadowValue; }
  size_t ValidCount() const;
};
// An image frame converted to 8-bit RGB, or kept as 16-bit grey.
struct ImageCapture {
  uint16_t width = 0;
  uint16_t height = 0;
  bool grey16 = false;
  bool captured = false;
  uint32_t frameId = 0;
  uint64_t timestamp = 0;
  std::vector<uint8_t> rgb;      // width * height * 3 bytes when !grey16
  std::vector<uint16_t> grey;    // width * height values when grey16
};
// Reads until the depth stream's frame number frameNumber (1 = the first;
// on a recording the recorded frame of that number, or a failure when a
// damaged chunk leaves the numbering in doubt), and the image frame taken
// with it: kRequired fails without one, kIfAny warns and leaves
// image->captured false. image may be null with kNone.
enum class ImageWish { kNone, kIfAny, kRequired };
struct DepthFiltering;

// What a recorder's failed write, flush or stop lost, and why when the
// system says: "cannot write to a.rec: frame 3 of stream Depth could not be
// written (No space left on device)"; verb is "write to" or "finish".
std::string WriteFailureText(const KrVDeviceRecorder& recorder, const std::string& verb, const std::string& file);
// With filtering, every depth frame read on the way to frame N runs through
// its chain (so a temporal filter has its history), and *depth is frame N
// filtered.
bool CaptureFrame(Source& source, uint32_t frameNumber, ImageWish wish, DepthCapture* depth, ImageCapture* image,
                  DepthFiltering* filtering = nullptr);

// A depth filter chain given on the command line (--filter TEXT,
// docs/depth-filters.md) and the pinhole camera of its output grid: with
// decimation by k, output pixel (u, v) stands where input pixel (k u, k v)
// stood, so fx, fy, cx and cy are divided by k.
struct DepthFiltering {
  KrVDepthFilterChain chain;
  std::string text;
  // Of the last frame filtered (width, height and the pinhole camera).
  uint32_t width = 0, height = 0;
  double fx = 0, fy = 0, cx = 0, cy = 0;
  // Builds the chain; false after a report that names the text and what
  // is wrong in it.
  bool Parse(const std::string& filterText);
  // Whether every filter keeps the frame's size (no decimation).
  bool KeepsSize();
  // Filters one frame in place: it takes the output's size; its camera is
  // the stream's (the translator's model) before the chain runs.
  bool Apply(DepthCapture* depth);
};

// The current frame of a depth or image stream copied out, checked as
// CaptureFrame checks it (a usable resolution, as many bytes as it needs);
// false after a report.
bool CaptureDepth(const KrVDepthMap& map, DepthCapture* depth);
bool CaptureImage(const KrVImageMap& map, ImageCapture* image);

// ---- interchange with other tools' formats ----
void AddExportCommands(CLI::App& app, Command* command);
void AddImportCommand(CLI::App& app, Command* command);

// ---- small helpers ----
// A frame as users see it: "frame N", or "frame N (id M)" when the stream's
// frame id M differs from its number N (counted from 1 in the run or the
// recording; ids jump over dropped frames and need not start at 1).
std::string FrameLabel(uint32_t number, uint32_t id);
// Bytes formatted as hexadecimal pairs.
std::string Hex(const void* data, size_t size);
// Writes bytes to a file; false after a report on failure.
bool WriteFile(const std::string& path, const void* data, size_t size);

}  // namespace ovalith_tool
