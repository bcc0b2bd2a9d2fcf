#include "codecs/picture.h"

namespace zep::picture {

namespace {

// Products of each component value with the luminance and chrominance weights, built once.
struct RgbTables {
  double yr[256], yg[256], yb[256];
  double cbr[256], cbg[256], cbb[256];
  double crr[256], crg[256], crb[256];
  RgbTables() {
    for (int v = 0; v < 256; ++v) {
      yr[v] = 0.299 * v;
      yg[v] = 0.587 * v;
      yb[v] = 0.114 * v;
      cbr[v] = -0.16874 * v;
      cbg[v] = -0.33126 * v;
      cbb[v] = 0.5 * v;
      crr[v] = 0.5 * v;
      crg[v] = -0.41869 * v;
      crb[v] = -0.08131 * v;
    }
  }
};

const RgbTables& rgbTables() {
  static const RgbTables tables;
  return tables;
}

// 16.16 products and the clip table for -384..639.
struct YuvTables {
  int y[256], rv[256], gu[256], gv[256], bu[256];
  std::uint8_t clip[1024];
  YuvTables() {
    for (int v = 0; v < 256; ++v) {
      y[v] = 76309 * (v - 16);
      rv[v] = 104597 * (v - 128);
      gu[v] = 25675 * (v - 128);
      gv[v] = 53279 * (v - 128);
      bu[v] = 132201 * (v - 128);
    }
    for (int i = 0; i < 1024; ++i) {
      int v = i - 384;
      clip[i] = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
};

const YuvTables& yuvTables() {
  static const YuvTables tables;
  return tables;
}

}  // namespace

void rgb24ToFrame420(std::span<const std::uint8_t> rgb, int width, int height, VideoFrame420* out) {
  const RgbTables& t = rgbTables();
  const std::size_t stride = static_cast<std::size_t>(width) * 3;
  if (width < kWidth || height < kHeight || rgb.size() < stride * height) return;
  for (int row = 0; row < kHeight; ++row) {
    // Rows are stored bottom to top.
    const std::uint8_t* line = rgb.data() + static_cast<std::size_t>(height - 1 - row) * stride;
    for (int col = 0; col < kWidth; ++col) {
      int b = line[3 * col], g = line[3 * col + 1], r = line[3 * col + 2];
      int luma = static_cast<int>(t.yr[r] + t.yg[g] + t.yb[b]);
      out->y()[row * kWidth + col] = static_cast<std::uint8_t>(luma * 219 / 255 + 16);
      if ((row & 1) && (col & 1)) {
        int cb = static_cast<int>(t.cbr[r] + t.cbg[g] + t.cbb[b]) * 224 / 255 + 128;
        int cr = static_cast<int>(t.crr[r] + t.crg[g] + t.crb[b]) * 224 / 255 + 128;
        std::size_t c = static_cast<std::size_t>(row / 2) * (kWidth / 2) + col / 2;
        out->cb()[c] = static_cast<std::uint8_t>(cb & 0xFF);
        out->cr()[c] = static_cast<std::uint8_t>(cr & 0xFF);
      }
    }
  }
}

void yvu9ToFrame420(std::span<const std::uint8_t> yvu9, int width, int height, VideoFrame420* out) {
  const std::size_t w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
  if (width < kWidth || height < kHeight || yvu9.size() < w * h + 2 * (w / 4) * (h / 4)) return;
  for (int row = 0; row < kHeight; ++row)
    for (int col = 0; col < kWidth; ++col) out->y()[row * kWidth + col] = yvu9[row * w + col];
  const std::uint8_t* v = yvu9.data() + w * h;
  const std::uint8_t* u = yvu9.data() + w * h * 17 / 16;
  for (int row = 0; row < kHeight / 2; ++row)
    for (int col = 0; col < kWidth / 2; ++col) {
      std::size_t from = static_cast<std::size_t>(row / 2) * (w / 4) + col / 2;
      std::size_t to = static_cast<std::size_t>(row) * (kWidth / 2) + col;
      out->cb()[to] = u[from];
      out->cr()[to] = v[from];
    }
}

void cropYvu9(std::span<const std::uint8_t> yvu9, int width, int height,
              std::span<std::uint8_t> out) {
  const std::size_t w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
  if (width < kWidth || height < kHeight || out.size() < kYvu9FrameSize ||
      yvu9.size() < w * h + 2 * (w / 4) * (h / 4))
    return;
  std::uint8_t* to = out.data();
  for (int row = 0; row < kHeight; ++row)
    for (int col = 0; col < kWidth; ++col) *to++ = yvu9[row * w + col];
  for (std::size_t plane : {w * h, w * h * 17 / 16})  // V, then U
    for (int row = 0; row < kHeight / 4; ++row)
      for (int col = 0; col < kWidth / 4; ++col) *to++ = yvu9[plane + row * (w / 4) + col];
}

void frame420ToRgb24(const VideoFrame420& frame, std::span<std::uint8_t> rgb) {
  if (rgb.size() < kRgbSize) return;
  const YuvTables& t = yuvTables();
  const std::uint8_t* clip = t.clip + 384;
  // One chrominance pair serves a 2 x 2 block: its three terms are worked out once.
  for (int row = 0; row < kHeight; row += 2) {
    std::uint8_t* lines[2];
    const std::uint8_t* lumas[2];
    for (int k = 0; k < 2; ++k) {
      lines[k] = rgb.data() + static_cast<std::size_t>(kHeight - 1 - row - k) * kWidth * 3;
      lumas[k] = frame.y() + static_cast<std::size_t>(row + k) * kWidth;
    }
    const std::uint8_t* cbRow = frame.cb() + static_cast<std::size_t>(row / 2) * (kWidth / 2);
    const std::uint8_t* crRow = frame.cr() + static_cast<std::size_t>(row / 2) * (kWidth / 2);
    for (int col = 0; col < kWidth; col += 2) {
      int cb = cbRow[col / 2], cr = crRow[col / 2];
      int blue = t.bu[cb], green = -t.gu[cb] - t.gv[cr], red = t.rv[cr];
      for (int k = 0; k < 2; ++k)
        for (int dx = 0; dx < 2; ++dx) {
          int y = t.y[lumas[k][col + dx]];
          std::uint8_t* p = lines[k] + 3 * (col + dx);
          p[0] = clip[(y + blue) >> 16];
          p[1] = clip[(y + green) >> 16];
          p[2] = clip[(y + red) >> 16];
        }
    }
  }
}

}  // namespace zep::picture
