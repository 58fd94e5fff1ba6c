#pragma once
// One decoded picture in I420 (8-bit Y, U, V planes; U and V at half width and height).
// Copies share the same immutable pixels, so keeping a picture costs no copy. Any thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct AVFrame;

namespace quorin {

class Picture {
 public:
  Picture() = default;  // empty
  // Takes over a decoded frame in yuv420p; `fullRange` says whether luma spans 0-255
  // rather than 16-235.
  Picture(AVFrame* frame, bool fullRange);

  bool empty() const { return !frame_; }
  int width() const;
  int height() const;
  // Plane 0 is Y, 1 is U, 2 is V.
  const std::uint8_t* plane(int index) const;
  int stride(int index) const;

  // The picture as B, G, R, 255 bytes per pixel, rows of width() * 4 bytes; empty when the
  // conversion fails.
  std::vector<std::uint8_t> toBgra() const;

  // Writes the picture as an RGB PNG file; an empty result means success, otherwise the text
  // says what went wrong.
  std::string writePng(const std::string& path) const;

 private:
  std::shared_ptr<const AVFrame> frame_;
  bool fullRange_ = false;
};

}  // namespace quorin
