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

struct frame_context {
  const struct frame_listener* inner;
  void* data;
  uint32_t format, width, height;
  int sawDmabuf;
};

// Frames are captured one after another, so a small ring of contexts is never overrun.
static struct frame_context contexts[64];
static unsigned next_context;

static uint32_t drm_format(uint32_t shm) {
  if (shm == 0) return 0x34325241;  // ARGB8888
  if (shm == 1) return 0x34325258;  // XRGB8888
  return shm;                       // the other wl_shm codes are DRM fourccs already
}

static void on_buffer(void* d, void* f, uint32_t format, uint32_t w, uint32_t h, uint32_t s) {
  struct frame_context* c = d;
  c->format = drm_format(format);
  c->width = w;
  c->height = h;
  c->inner->buffer(c->data, f, format, w, h, s);
}
static void on_flags(void* d, void* f, uint32_t v) {
  struct frame_context* c = d;
  c->inner->flags(c->data, f, v);
}
static void on_ready(void* d, void* f, uint32_t a, uint32_t b, uint32_t n) {
  struct frame_context* c = d;
  c->inner->ready(c->data, f, a, b, n);
}
static void on_failed(void* d, void* f) {
  struct frame_context* c = d;
  c->inner->failed(c->data, f);
}
static void on_damage(void* d, void* f, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  struct frame_context* c = d;
  c->inner->damage(c->data, f, x, y, w, h);
}
static void on_linux_dmabuf(void* d, void* f, uint32_t format, uint32_t w, uint32_t h) {
  struct frame_context* c = d;
  c->sawDmabuf = 1;
  c->inner->linux_dmabuf(c->data, f, format, w, h);
}
static void on_buffer_done(void* d, void* f) {
  struct frame_context* c = d;
  if (!c->sawDmabuf && c->width) c->inner->linux_dmabuf(c->data, f, c->format, c->width, c->height);
  c->inner->buffer_done(c->data, f);
}

static const struct frame_listener wrapper = {on_buffer, on_flags,        on_ready,      on_failed,
                                              on_damage, on_linux_dmabuf, on_buffer_done};

int wl_proxy_add_listener(struct wl_proxy* proxy, void (**implementation)(void), void* data) {
  static int (*real)(struct wl_proxy*, void (**)(void), void*);
  if (!real) real = (int (*)(struct wl_proxy*, void (**)(void), void*))dlsym(RTLD_NEXT, "wl_proxy_add_listener");
  if (strcmp(wl_proxy_get_class(proxy), "zwlr_screencopy_frame_v1") != 0 ||
      wl_proxy_get_version(proxy) < 3) {
    return real(proxy, implementation, data);
  }
  struct frame_context* c = &contexts[next_context++ % 64];
  memset(c, 0, sizeof *c);
  c->inner = (const struct frame_listener*)implementation;
  c->data = data;
  return real(proxy, (void (**)(void))&wrapper, c);
}
