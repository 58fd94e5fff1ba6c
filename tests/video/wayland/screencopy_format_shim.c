// Test-only LD_PRELOAD library for xdg-desktop-portal-wlr. The portal refuses to start a
// screen cast unless the compositor's screencopy frame announces a DMA-BUF format, which a
// compositor on the software renderer never does. This library wraps the listener of every
// zwlr_screencopy_frame_v1 so that a linux_dmabuf event carrying the SHM buffer's format and
// size arrives just before buffer_done; the portal then negotiates and fills SHM buffers with
// real compositor copies.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <string.h>
#include <wayland-client-core.h>

// The frame's events in protocol order (version 3).
struct frame_listener {
  void (*buffer)(void*, void*, uint32_t format, uint32_t width, uint32_t height, uint32_t stride);
  void (*flags)(void*, void*, uint32_t);
  void (*ready)(void*, void*, uint32_t, uint32_t, uint32_t);
  void (*failed)(void*, void*);
  void (*damage)(void*, void*, uint32_t, uint32_t, uint32_t, uint32_t);
  void (*linux_dmabuf)(void*, void*, uint32_t format, uint32_t width, uint32_t height);
  void (*buffer_done)(void*, void*);
};

// The portal's listener, and what the newest frame announced: frames are captured one after
// another, so all of one frame's events come before the next frame is made.
static const struct frame_listener* inner;
static struct frame_listener wrapper;
static uint32_t shm_format, frame_width, frame_height;
static int saw_dmabuf;

static void on_buffer(void* d, void* f, uint32_t format, uint32_t w, uint32_t h, uint32_t s) {
  shm_format = format;
  frame_width = w;
  frame_height = h;
  inner->buffer(d, f, format, w, h, s);
}
static void on_linux_dmabuf(void* d, void* f, uint32_t format, uint32_t w, uint32_t h) {
  saw_dmabuf = 1;
  inner->linux_dmabuf(d, f, format, w, h);
}
static void on_buffer_done(void* d, void* f) {
  // ARGB8888 and XRGB8888 are 0 and 1 in wl_shm; its other codes are DRM fourccs already.
  const uint32_t drm = shm_format == 0 ? 0x34325241 : shm_format == 1 ? 0x34325258 : shm_format;
  if (!saw_dmabuf && frame_width) inner->linux_dmabuf(d, f, drm, frame_width, frame_height);
  inner->buffer_done(d, f);
}

int wl_proxy_add_listener(struct wl_proxy* proxy, void (**implementation)(void), void* data) {
  static int (*real)(struct wl_proxy*, void (**)(void), void*);
  if (!real) real = (int (*)(struct wl_proxy*, void (**)(void), void*))dlsym(RTLD_NEXT, "wl_proxy_add_listener");
  if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") != 0 ||
      wl_proxy_get_version(proxy) < 3) {
    return real(proxy, implementation, data);
  }
  inner = (const struct frame_listener*)implementation;
  wrapper = *inner;
  wrapper.buffer = on_buffer;
  wrapper.linux_dmabuf = on_linux_dmabuf;
  wrapper.buffer_done = on_buffer_done;
  saw_dmabuf = 0;
  frame_width = 0;
  return real(proxy, (void (**)(void))&wrapper, data);
}
