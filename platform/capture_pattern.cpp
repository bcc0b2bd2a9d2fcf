// The test pattern camera: a picture made from its frame number alone, with a text drawn large,
// so every host's picture is recognisable and a test knows what each frame holds.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "platform/capture_backend.h"

namespace zep::capture {

namespace {

// 5 x 7 glyphs, one string of 7 rows each; '#' is ink.
struct Glyph {
  char c;
  const char* rows[7];
};

constexpr Glyph kFont[] = {
    {'A', {" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
    {'B', {"#### ", "#   #", "#   #", "#### ", "#   #", "#   #", "#### "}},
    {'C', {" ### ", "#   #", "#    ", "#    ", "#    ", "#   #", " ### "}},
    {'D', {"#### ", "#   #", "#   #", "#   #", "#   #", "#   #", "#### "}},
    {'E', {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#####"}},
    {'F', {"#####", "#    ", "#    ", "#### ", "#    ", "#    ", "#    "}},
    {'G', {" ### ", "#   #", "#    ", "# ###", "#   #", "#   #", " ####"}},
    {'H', {"#   #", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"}},
    {'I', {" ### ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'J', {"  ###", "   # ", "   # ", "   # ", "   # ", "#  # ", " ##  "}},
    {'K', {"#   #", "#  # ", "# #  ", "##   ", "# #  ", "#  # ", "#   #"}},
    {'L', {"#    ", "#    ", "#    ", "#    ", "#    ", "#    ", "#####"}},
    {'M', {"#   #", "## ##", "# # #", "# # #", "#   #", "#   #", "#   #"}},
    {'N', {"#   #", "#   #", "##  #", "# # #", "#  ##", "#   #", "#   #"}},
    {'O', {" ### ", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "}},
    {'P', {"#### ", "#   #", "#   #", "#### ", "#    ", "#    ", "#    "}},
    {'Q', {" ### ", "#   #", "#   #", "#   #", "# # #", "#  # ", " ## #"}},
    {'R', {"#### ", "#   #", "#   #", "#### ", "# #  ", "#  # ", "#   #"}},
    {'S', {" ####", "#    ", "#    ", " ### ", "    #", "    #", "#### "}},
    {'T', {"#####", "  #  ", "  #  ", "  #  ", "  #  ", "  #  ", "  #  "}},
    {'U', {"#   #", "#   #", "#   #", "#   #", "#   #", "#   #", " ### "}},
    {'V', {"#   #", "#   #", "#   #", "#   #", "#   #", " # # ", "  #  "}},
    {'W', {"#   #", "#   #", "#   #", "# # #", "# # #", "# # #", " # # "}},
    {'X', {"#   #", "#   #", " # # ", "  #  ", " # # ", "#   #", "#   #"}},
    {'Y', {"#   #", "#   #", " # # ", "  #  ", "  #  ", "  #  ", "  #  "}},
    {'Z', {"#####", "    #", "   # ", "  #  ", " #   ", "#    ", "#####"}},
    {'0', {" ### ", "#   #", "#  ##", "# # #", "##  #", "#   #", " ### "}},
    {'1', {"  #  ", " ##  ", "  #  ", "  #  ", "  #  ", "  #  ", " ### "}},
    {'2', {" ### ", "#   #", "    #", "   # ", "  #  ", " #   ", "#####"}},
    {'3', {"#####", "   # ", "  #  ", "   # ", "    #", "#   #", " ### "}},
    {'4', {"   # ", "  ## ", " # # ", "#  # ", "#####", "   # ", "   # "}},
    {'5', {"#####", "#    ", "#### ", "    #", "    #", "#   #", " ### "}},
    {'6', {"  ## ", " #   ", "#    ", "#### ", "#   #", "#   #", " ### "}},
    {'7', {"#####", "    #", "   # ", "  #  ", " #   ", " #   ", " #   "}},
    {'8', {" ### ", "#   #", "#   #", " ### ", "#   #", "#   #", " ### "}},
    {'9', {" ### ", "#   #", "#   #", " ####", "    #", "   # ", " ##  "}},
    {'@', {" ### ", "#   #", "# ###", "# # #", "# ###", "#    ", " ####"}},
    {'.', {"     ", "     ", "     ", "     ", "     ", " ##  ", " ##  "}},
    {'-', {"     ", "     ", "     ", "#####", "     ", "     ", "     "}},
    {'_', {"     ", "     ", "     ", "     ", "     ", "     ", "#####"}},
    {':', {"     ", " ##  ", " ##  ", "     ", " ##  ", " ##  ", "     "}},
    {'?', {" ### ", "#   #", "    #", "   # ", "  #  ", "     ", "  #  "}},
};

const Glyph* glyphOf(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  for (const auto& g : kFont)
    if (g.c == c) return &g;
  return c == ' ' ? nullptr : glyphOf('?');
}

// Smooth colour wheel: one channel's level around a cycle of 256 steps.
const std::array<int, 256>& wheel() {
  static const std::array<int, 256> table = [] {
    std::array<int, 256> t{};
    for (int i = 0; i < 256; ++i)
      t[static_cast<std::size_t>(i)] =
          static_cast<int>(std::lround(128 + 90 * std::sin(2 * std::acos(-1.0) * i / 256)));
    return t;
  }();
  return table;
}

// Back and forth over 0..range, one step per unit of t.
int bounce(std::uint32_t t, int range) {
  if (range <= 0) return 0;
  auto m = static_cast<int>(t % static_cast<std::uint32_t>(2 * range));
  return m <= range ? m : 2 * range - m;
}

// A top-to-bottom blue-green-red picture.
class Canvas {
 public:
  Canvas(int width, int height)
      : width_(width), height_(height), pixels_(static_cast<std::size_t>(width * height * 3)) {}
  void set(int x, int y, int r, int g, int b) {
    auto* p = &pixels_[static_cast<std::size_t>((y * width_ + x) * 3)];
    p[0] = static_cast<std::uint8_t>(b);
    p[1] = static_cast<std::uint8_t>(g);
    p[2] = static_cast<std::uint8_t>(r);
  }
  void fill(int x0, int y0, int w, int h, int r, int g, int b) {
    for (int y = std::max(0, y0); y < std::min(height_, y0 + h); ++y)
      for (int x = std::max(0, x0); x < std::min(width_, x0 + w); ++x) set(x, y, r, g, b);
  }
  int width() const { return width_; }
  int height() const { return height_; }
  const std::uint8_t* data() const { return pixels_.data(); }

 private:
  int width_, height_;
  std::vector<std::uint8_t> pixels_;
};

void drawText(Canvas& canvas, const std::string& text) {
  if (text.empty()) return;
  const int len = static_cast<int>(text.size());
  // The text goes in the top-left 176 x 144, the part of the picture the video paths send, so
  // every receiver sees all of it. Eight characters fill that width; longer texts get smaller.
  const int width = std::min(canvas.width(), 176), height = std::min(canvas.height(), 144);
  const int scale = std::max(1, std::min(width / 48, width / (6 * len)));
  const int x0 = (width - (len * 6 - 1) * scale) / 2;
  const int y0 = (height - 7 * scale) / 2;
  const int edge = std::max(1, scale / 3);
  // A dark outline first, then the white letters, so the text reads on any background.
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < len; ++i) {
      const Glyph* g = glyphOf(text[static_cast<std::size_t>(i)]);
      if (!g) continue;
      for (int row = 0; row < 7; ++row)
        for (int col = 0; col < 5; ++col) {
          if (g->rows[row][col] != '#') continue;
          int x = x0 + (i * 6 + col) * scale, y = y0 + row * scale;
          if (pass == 0)
            canvas.fill(x - edge, y - edge, scale + 2 * edge, scale + 2 * edge, 16, 16, 16);
          else
            canvas.fill(x, y, scale, scale, 240, 240, 240);
        }
    }
  }
}

class PatternCamera final : public StreamingCamera {
 public:
  PatternCamera(std::string text, const CaptureOptions& options)
      : StreamingCamera(options), text_(std::move(text)) {}
  ~PatternCamera() override { stop(); }

 private:
  bool acceptFormat(const Format&) override { return true; }
  bool prepare(std::string*) override {
    frame_.resize(frameSize(streamFormat()));
    return true;
  }
  void run(const std::stop_token& stop) override {
    const Format f = streamFormat();
    for (std::uint32_t n = 0;; ++n) {
      std::uint64_t due = 0;
      if (!waitForFrame(stop, &due)) return;
      drawTestPattern(text_, n, f, frame_);
      deliver(frame_, due);
    }
  }

  std::string text_;
  std::vector<std::uint8_t> frame_;
};

}  // namespace

void drawTestPattern(const std::string& text, std::uint32_t number, const Format& format,
                     std::span<std::uint8_t> out) {
  const int w = format.width, h = format.height;
  if (w <= 0 || h <= 0 || out.size() < frameSize(format)) return;
  Canvas canvas(w, h);
  // A colour wheel that drifts 3 pixels a frame, brighter towards the bottom.
  const auto& tab = wheel();
  for (int y = 0; y < h; ++y) {
    const int shade = 160 + 95 * y / h;
    for (int x = 0; x < w; ++x) {
      auto p = static_cast<std::size_t>((static_cast<std::uint64_t>(x) + 3ull * number) %
                                        static_cast<std::uint64_t>(w) * 256 /
                                        static_cast<std::uint64_t>(w));
      canvas.set(x, y, tab[p] * shade / 255, tab[(p + 85) & 255] * shade / 255,
                 tab[(p + 170) & 255] * shade / 255);
    }
  }
  // A block that bounces across, so motion shows in both directions.
  const int side = std::max(4, h / 5);
  const int bx = bounce(number * 4, w - side), by = bounce(number * 3, h - side);
  canvas.fill(bx, by, side, side, 24, 24, 24);
  canvas.fill(bx + 3, by + 3, side - 6, side - 6, 230, 200, 40);
  drawText(canvas, text);

  if (format.pixel == PixelFormat::kRgb24) {
    const auto row = static_cast<std::size_t>(w * 3);
    for (int y = 0; y < h; ++y)
      std::memcpy(out.data() + static_cast<std::size_t>(h - 1 - y) * row,
                  canvas.data() + static_cast<std::size_t>(y) * row, row);
  } else {
    bgrToYvu9(canvas.data(), w, h, out);
  }
}

void addPatternBackend(CameraRegistry& registry) {
  registry.add("pattern", devices::Argument::kOptional, "pattern[:TEXT]",
               CameraBackend{
                   [](const std::string& text, const CaptureOptions& options, std::string*) {
                     return std::unique_ptr<Camera>(std::make_unique<PatternCamera>(text, options));
                   },
                   [] {
                     return std::vector<DeviceInfo>{{"pattern", "Test pattern"}};
                   }});
}

}  // namespace zep::capture
