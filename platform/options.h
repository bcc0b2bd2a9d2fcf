// Command lines: every program describes its options and the environment variables it reads in
// one table, and this parses its arguments and prints its --help, --version and usage lines.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace zep::options {

// The suite's version, from the build.
std::string_view version();

struct Option {
  std::string_view name;      // "--server"
  std::string_view argument;  // "HOST"; empty for a flag
  std::string_view help;
};

struct Variable {
  std::string_view name;
  std::string_view help;
};

// The variables most programs share, described once.
inline constexpr Variable kHost{"ZEP_HOST",
                                "this host's own address (name or dotted IPv4); every socket "
                                "binds to it"};
inline constexpr Variable kUser{"ZEP_USER", "the login name (at most 19 characters)"};
inline constexpr Variable kPath{"ZEP_PATH",
                                "the installation directory (unset: the tree this program is in)"};
inline constexpr Variable kAudioIn{"ZEP_AUDIO_IN",
                                   "the microphone: portaudio[:NAME] (default), file:PATH or none"};
inline constexpr Variable kAudioOut{
    "ZEP_AUDIO_OUT", "the loudspeaker: portaudio[:NAME] (default), file:PATH (a WAV file) or none"};
inline constexpr Variable kAudioDuplex{"ZEP_AUDIO_DUPLEX",
                                       "half: one sound direction open at a time"};
inline constexpr Variable kCamera{
    "ZEP_CAMERA",
    "the camera: v4l2[:/dev/videoN] (default), file:PATH (Y4M), pattern:TEXT or none"};
inline constexpr Variable kCameraFormat{"ZEP_CAMERA_FORMAT", "yvu9: every camera refuses RGB24"};
inline constexpr Variable kCameraSize{"ZEP_CAMERA_SIZE",
                                      "WxH: the picture size a camera has when connected"};
inline constexpr Variable kVideoOut{
    "ZEP_VIDEO_OUT", "dir:PATH: every display window also writes what it paints to PATH"};
inline constexpr Variable kMixerProgram{
    "ZEP_MIXER_PROGRAM",
    "the volume control the audio panel starts (default /usr/bin/pavucontrol)"};
inline constexpr Variable kTrace{"ZEP_TRACE", "1: the libraries' trace lines on standard error"};
inline constexpr Variable kDisplay{"DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM",
                                   "all unset: the headless front end, as with --headless"};

struct Program {
  std::string_view name;
  std::string_view summary;   // one line: what it is
  std::string_view operands;  // "[PORT]"; empty when it takes none
  std::vector<Option> options;
  std::vector<Variable> environment;
  std::string_view details;  // further paragraphs of --help, may be empty
  // The engine reads no arguments: anything that is not an option is left alone.
  bool ignoreOperands = false;
};

struct Parsed {
  enum class Outcome { kRun, kExitOk, kUsageError } outcome = Outcome::kRun;
  std::vector<std::pair<std::string, std::string>> given;  // option and argument ("" for a flag)
  std::vector<std::string> operands;

  bool has(std::string_view option) const;
  // The argument of the last use of option, or fallback.
  std::string value(std::string_view option, std::string fallback = {}) const;
};

// Parses argv[1..]. --help and --version print on out (outcome kExitOk); an unknown option, a
// missing argument or an unexpected operand prints a line saying so and the usage line on err
// (kUsageError). "--" ends the options.
Parsed parse(const Program& program, int argc, char** argv, std::FILE* out, std::FILE* err);

// parse, then exits with 0 after --help or --version and 2 after a usage error.
Parsed parseOrExit(const Program& program, int argc, char** argv);

std::string helpText(const Program& program);
std::string usageLine(const Program& program);

}  // namespace zep::options
