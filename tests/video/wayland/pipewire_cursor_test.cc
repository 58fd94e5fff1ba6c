// The PipeWire reader against a source of the test's own on the suite's PipeWire daemon
// (scripts/lib/wayland.sh starts it), which sends buffers as KWin's screen cast sends them:
// the pointer as cursor metadata, pointer-only updates as empty buffers flagged corrupted.

#include <gtest/gtest.h>

#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "fakes/require_service.h"
#include "video/capture_error.h"
#include "video/wayland/pipewire_display_stream.h"
#include "video/wayland/pipewire_video_source.h"

namespace quorin {
namespace {

using namespace std::chrono_literals;

constexpr int kWidth = 96;
constexpr int kHeight = 64;

std::chrono::steady_clock::time_point soon() { return std::chrono::steady_clock::now() + 10s; }

// The source's picture, as 0xAARRGGBB: neighbouring pixels differ, so a misplaced row shows.
std::uint32_t backgroundPixel(int x, int y, std::uint8_t tint) {
  return 0xFF000000u | std::uint32_t(tint) << 16 | std::uint32_t(y * 3) << 8 | std::uint32_t(x * 2);
}

// A pointer bitmap of one opaque colour (0xAARRGGBB) but for its transparent top-left pixel.
struct Bitmap {
  std::uint32_t format = SPA_VIDEO_FORMAT_RGBA;
  int width = 0;
  int height = 0;
  std::uint32_t colour = 0;
};

std::array<std::uint8_t, 4> bytesOf(std::uint32_t argb, std::uint32_t format) {
  const std::uint8_t a = argb >> 24, r = argb >> 16, g = argb >> 8, b = argb;
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRA: return {b, g, r, a};
    case SPA_VIDEO_FORMAT_ARGB: return {a, r, g, b};
    case SPA_VIDEO_FORMAT_ABGR: return {a, b, g, r};
    default: return {r, g, b, a};
  }
}

struct Cursor {
  std::uint32_t id = 1;
  int x = 0;
  int y = 0;
  int hotX = 0;
  int hotY = 0;
  std::optional<Bitmap> bitmap;
};

void writePicture(spa_buffer& buffer, int stride, std::uint8_t tint) {
  auto* bytes = static_cast<std::uint8_t*>(buffer.datas[0].data);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const std::uint32_t pixel = backgroundPixel(x, y, tint);
      std::memcpy(bytes + y * stride + x * 4, &pixel, 4);
    }
  }
  *buffer.datas[0].chunk = spa_chunk{0, std::uint32_t(stride * kHeight), stride, SPA_CHUNK_FLAG_NONE};
}

// What KWin sends when only the pointer changed.
void writeEmpty(spa_buffer& buffer) {
  *buffer.datas[0].chunk = spa_chunk{0, 0, 0, SPA_CHUNK_FLAG_CORRUPTED};
}

// Writes `c` into the buffer's cursor metadata; the metadata, for a test to spoil.
spa_meta* writeCursor(spa_buffer& buffer, const Cursor& c) {
  spa_meta* meta = spa_buffer_find_meta(&buffer, SPA_META_Cursor);
  if (!meta) {
    ADD_FAILURE() << "the source's buffers have no cursor metadata";
    return nullptr;
  }
  auto* cursor = static_cast<spa_meta_cursor*>(meta->data);
  *cursor = spa_meta_cursor{c.id, 0, {c.x, c.y}, {c.hotX, c.hotY}, 0};
  if (!c.bitmap) return meta;
  cursor->bitmap_offset = sizeof(spa_meta_cursor);
  auto* bitmap = SPA_PTROFF(cursor, cursor->bitmap_offset, spa_meta_bitmap);
  const Bitmap& b = *c.bitmap;
  *bitmap = spa_meta_bitmap{b.format, {std::uint32_t(b.width), std::uint32_t(b.height)}, b.width * 4,
                            sizeof(spa_meta_bitmap)};
  auto* pixels = SPA_PTROFF(bitmap, bitmap->offset, std::uint8_t);
  for (int i = 0; i < b.width * b.height; ++i) {
    const auto bytes = bytesOf(i == 0 ? 0 : b.colour, b.format);
    std::memcpy(pixels + i * 4, bytes.data(), 4);
  }
  return meta;
}

struct DrawnPointer {
  int left = 0;
  int top = 0;
  Bitmap bitmap;
};

// Whether `image` is the source's picture of `tint` with `pointer`, if any, drawn over it.
::testing::AssertionResult shows(const BgraImage* image, std::uint8_t tint,
                                 std::optional<DrawnPointer> pointer = std::nullopt) {
  if (!image) return ::testing::AssertionFailure() << "no picture";
  if (image->width != kWidth || image->height != kHeight) {
    return ::testing::AssertionFailure() << "a picture of " << image->width << "x" << image->height;
  }
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::uint32_t expected = backgroundPixel(x, y, tint);
      if (pointer) {
        const int bx = x - pointer->left;
        const int by = y - pointer->top;
        if (bx >= 0 && by >= 0 && bx < pointer->bitmap.width && by < pointer->bitmap.height && (bx || by)) {
          expected = pointer->bitmap.colour;
        }
      }
      std::uint32_t actual = 0;
      std::memcpy(&actual, image->pixels + y * image->stride + x * 4, 4);
      if (actual != expected) {
        return ::testing::AssertionFailure() << std::hex << "pixel " << std::dec << x << "," << y << " is "
                                             << std::hex << actual << ", not " << expected;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

bool covers(const ChangedArea& changed, int x, int y) {
  if (changed.everything) return true;
  for (const ScreenRect& r : changed.rects) {
    if (x >= r.x && y >= r.y && x < r.x + r.width && y < r.y + r.height) return true;
  }
  return false;
}

class PipeWireCursor : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    QUORIN_REQUIRE(runtime && std::filesystem::exists(std::string(runtime) + "/pipewire-0"),
                   "no PipeWire daemon (scripts/test starts one)");
  }

  // A source and the reader linked to it.
  void connect(bool cursorMetadata) {
    source_ = std::make_unique<PipeWireVideoSource>(
        PipeWireVideoSource::Options{kWidth, kHeight, cursorMetadata});
    ASSERT_TRUE(source_->waitFor(false, soon()));
    CaptureError error;
    reader_ = PipeWireDisplayStream::open(PipeWireNode{-1, source_->nodeId(), kWidth, kHeight, {}}, 10s,
                                          nullptr, error);
    ASSERT_NE(reader_, nullptr) << error.description;
    ASSERT_TRUE(source_->waitFor(true, soon()));
    settle();
  }

  // The link's first cycles may run before the reader's side takes buffers, and what they
  // carried is lost: pictures go out until the reader shows the last one sent, and then
  // nothing older is on the way.
  void settle() {
    const auto giveUp = soon();
    for (std::uint8_t tint = 1; std::chrono::steady_clock::now() < giveUp; ++tint) {
      source_->send([&](spa_buffer& buffer) {
        writePicture(buffer, source_->stride(), tint);
        if (spa_meta* meta = spa_buffer_find_meta(&buffer, SPA_META_Cursor)) {
          *static_cast<spa_meta_cursor*>(meta->data) = spa_meta_cursor{};
        }
      });
      while (reader_->waitForChange(std::chrono::steady_clock::now() + 200ms)) {
        const BgraImage* image = reader_->grab(false);
        if (image && image->pixels[2] == tint) return;
      }
    }
    FAIL() << "the reader never showed the source's pictures";
  }

  // Sends one buffer; the picture the reader hands out next, if it has a new one.
  const BgraImage* send(const std::function<void(spa_buffer&)>& fill) {
    if (!source_->send(fill)) {
      ADD_FAILURE() << "the source could not send";
      return nullptr;
    }
    if (!reader_->waitForChange(soon())) return nullptr;
    return reader_->grab(false);
  }

  const BgraImage* sendPicture(std::uint8_t tint, const Cursor& cursor) {
    return send([&](spa_buffer& buffer) {
      writePicture(buffer, source_->stride(), tint);
      writeCursor(buffer, cursor);
    });
  }

  const BgraImage* sendPointerOnly(const Cursor& cursor, const std::function<void(spa_meta&)>& spoil = {}) {
    return send([&](spa_buffer& buffer) {
      writeEmpty(buffer);
      spa_meta* meta = writeCursor(buffer, cursor);
      if (meta && spoil) spoil(*meta);
    });
  }

  std::unique_ptr<PipeWireVideoSource> source_;
  std::unique_ptr<PipeWireDisplayStream> reader_;  // after source_: goes first
};

const Bitmap kRedArrow{SPA_VIDEO_FORMAT_RGBA, 5, 4, 0xFFE01020};
const Bitmap kGreenBox{SPA_VIDEO_FORMAT_ARGB, 3, 3, 0xFF20C040};

TEST_F(PipeWireCursor, PointerMetadataIsDrawnMovedByEmptyBuffersReshapedAndHidden) {
  ASSERT_NO_FATAL_FAILURE(connect(true));

  // The pointer's hotspot goes where the metadata puts the pointer.
  EXPECT_TRUE(shows(sendPicture(0x40, {1, 40, 30, 2, 1, kRedArrow}), 0x40, DrawnPointer{38, 29, kRedArrow}));
  EXPECT_TRUE(reader_->changedArea().everything);

  // A move alone: the same picture, the pointer at its new place and its old place clean.
  EXPECT_TRUE(shows(sendPointerOnly({1, 70, 50, 0, 0, std::nullopt}), 0x40, DrawnPointer{68, 49, kRedArrow}));
  const ChangedArea moved = reader_->changedArea();
  EXPECT_FALSE(moved.everything);
  EXPECT_TRUE(covers(moved, 39, 30));
  EXPECT_TRUE(covers(moved, 69, 50));
  EXPECT_FALSE(covers(moved, 0, 0));

  // A new picture with a new shape and hotspot, in another byte order.
  EXPECT_TRUE(shows(sendPicture(0x80, {1, 11, 12, 1, 2, kGreenBox}), 0x80, DrawnPointer{10, 10, kGreenBox}));

  // An invalid cursor hides the pointer.
  EXPECT_TRUE(shows(sendPointerOnly({0, 11, 12, 0, 0, std::nullopt}), 0x80));
  // And the shape and hotspot last sent come back with it.
  EXPECT_TRUE(shows(sendPointerOnly({1, 21, 22, 0, 0, std::nullopt}), 0x80, DrawnPointer{20, 20, kGreenBox}));
}

TEST_F(PipeWireCursor, BitmapsInEveryByteOrderGiveTheSameColoursAndOneWithoutAlphaIsOpaque) {
  ASSERT_NO_FATAL_FAILURE(connect(true));
  ASSERT_TRUE(shows(sendPicture(0x40, {}), 0x40));
  int x = 10;
  for (const std::uint32_t format :
       {SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_ARGB, SPA_VIDEO_FORMAT_ABGR}) {
    const Bitmap bitmap{format, 4, 4, 0xFF306090};
    x += 10;
    EXPECT_TRUE(shows(sendPointerOnly({1, x, 20, 0, 0, bitmap}), 0x40, DrawnPointer{x, 20, bitmap}))
        << "format " << format;
  }
  // An application's pointer without alpha, which KWin passes on with 0 in the alpha byte:
  // opaque, not added onto the picture.
  const Bitmap withoutAlpha{SPA_VIDEO_FORMAT_RGBA, 4, 4, 0x00306090};
  const BgraImage* image = sendPointerOnly({1, 70, 20, 0, 0, withoutAlpha});
  ASSERT_TRUE(image);
  std::uint32_t drawn = 0;
  std::memcpy(&drawn, image->pixels + 21 * image->stride + 71 * 4, 4);
  EXPECT_EQ(drawn, 0xFF306090u);
}

TEST_F(PipeWireCursor, ABitmapReachingOutsideItsMetadataIsIgnoredAndTheLastShapeKept) {
  ASSERT_NO_FATAL_FAILURE(connect(true));
  ASSERT_TRUE(shows(sendPicture(0x40, {1, 10, 10, 0, 0, kRedArrow}), 0x40, DrawnPointer{10, 10, kRedArrow}));

  const auto bitmapOf = [](spa_meta& meta) {
    return SPA_PTROFF(meta.data, sizeof(spa_meta_cursor), spa_meta_bitmap);
  };
  const std::vector<std::pair<const char*, std::function<void(spa_meta&)>>> spoilers = {
      {"bitmap beyond the metadata",
       [](spa_meta& meta) { static_cast<spa_meta_cursor*>(meta.data)->bitmap_offset = meta.size; }},
      {"bitmap across the metadata's end",
       [](spa_meta& meta) { static_cast<spa_meta_cursor*>(meta.data)->bitmap_offset = meta.size - 4; }},
      {"pixels beyond the metadata", [&](spa_meta& meta) { bitmapOf(meta)->offset = meta.size; }},
      {"more rows than fit", [&](spa_meta& meta) { bitmapOf(meta)->size.height = meta.size; }},
      {"a width that overflows 32 bits",
       [&](spa_meta& meta) {
         bitmapOf(meta)->size.width = 0x40000001;
         bitmapOf(meta)->stride = 4;
       }},
      {"rows narrower than the width", [&](spa_meta& meta) { bitmapOf(meta)->stride = 4; }},
      {"a negative stride", [&](spa_meta& meta) { bitmapOf(meta)->stride = -20; }},
      {"an unknown format", [&](spa_meta& meta) { bitmapOf(meta)->format = SPA_VIDEO_FORMAT_I420; }},
      {"no format, which means no new bitmap",
       [&](spa_meta& meta) { bitmapOf(meta)->format = SPA_VIDEO_FORMAT_UNKNOWN; }},
  };
  int x = 10;
  for (const auto& [what, spoil] : spoilers) {
    x += 5;
    EXPECT_TRUE(shows(sendPointerOnly({1, x, 10, 3, 3, kGreenBox}, spoil), 0x40, DrawnPointer{x, 10, kRedArrow}))
        << what;
  }
}

TEST_F(PipeWireCursor, AStreamWithoutCursorMetadataIsHandedOutUntouched) {
  ASSERT_NO_FATAL_FAILURE(connect(false));
  const auto picture = [&](std::uint8_t tint) {
    return send([&](spa_buffer& buffer) {
      EXPECT_EQ(spa_buffer_find_meta(&buffer, SPA_META_Cursor), nullptr);
      writePicture(buffer, source_->stride(), tint);
    });
  };
  EXPECT_TRUE(shows(picture(0x40), 0x40));
  EXPECT_TRUE(shows(picture(0x80), 0x80));
}

}  // namespace
}  // namespace quorin
