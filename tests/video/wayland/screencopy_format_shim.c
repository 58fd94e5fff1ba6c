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

// The portal's listener with three events routed through here; found again by its frame.
struct frame_context {
  struct frame_listener listener;
  const struct frame_listener* inner;
  void* frame;
  uint32_t format, width, height;
  int sawDmabuf;
};

// Frames are captured one after another, so a small ring of contexts is never overrun.
static struct frame_context contexts[64];
static unsigned next_context;

static struct frame_context* context_of(void* frame) {
  for (unsigned i = 1; i <= 64; ++i) {  // newest first: a destroyed frame's address comes back
    struct frame_context* c = &contexts[(next_context - i) % 64];
    if (c->frame == frame) return c;
  }
  return 0;
}

static uint32_t drm_format(uint32_t shm) {
  if (shm == 0) return 0x34325241;  // ARGB8888
  if (shm == 1) return 0x34325258;  // XRGB8888
  return shm;                       // the other wl_shm codes are DRM fourccs already
}

static void on_buffer(void* d, void* f, uint32_t format, uint32_t w, uint32_t h, uint32_t s) {
  struct frame_context* c = context_of(f);
  c->format = drm_format(format);
  c->width = w;
  c->height = h;
  c->inner->buffer(d, f, format, w, h, s);
}
static void on_linux_dmabuf(void* d, void* f, uint32_t format, uint32_t w, uint32_t h) {
  struct frame_context* c = context_of(f);
  c->sawDmabuf = 1;
  c->inner->linux_dmabuf(d, f, format, w, h);
}
static void on_buffer_done(void* d, void* f) {
  struct frame_context* c = context_of(f);
  if (!c->sawDmabuf && c->width) c->inner->linux_dmabuf(d, f, c->format, c->width, c->height);
  c->inner->buffer_done(d, f);
}

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
  c->frame = proxy;
  c->listener = *c->inner;
  c->listener.buffer = on_buffer;
  c->listener.linux_dmabuf = on_linux_dmabuf;
  c->listener.buffer_done = on_buffer_done;
  return real(proxy, (void (**)(void))&c->listener, data);
}
