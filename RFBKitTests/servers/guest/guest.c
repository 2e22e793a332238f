// A guest of our own for QEMU's VNC server, booted as a multiboot image with -kernel in well under
// a second: it shows a picture like a photograph (smooth shading, a little grain), which is what
// makes QEMU's Tight encoder choose JPEG, and reports on the first serial port every key the
// emulated PS/2 keyboard delivers, as scan codes of set 1 (which the BIOS leaves translation
// on for), before any layout of a guest system could reinterpret them.

#include <stdint.h>

enum { width = 640, height = 480 };

__attribute__((section(".multiboot"), used, aligned(4))) static const uint32_t multiboot[3] = {
    0x1BADB002u, 0u, -0x1BADB002u};

__attribute__((used, aligned(16))) static uint8_t stack[16384];
// The loader leaves no stack to run C on.
__asm__(".globl start\nstart:\n  mov $stack+16384, %esp\n  call guest\n1: hlt\n  jmp 1b\n");

static void outb(uint16_t port, uint8_t value) {
    __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}
static void outw(uint16_t port, uint16_t value) {
    __asm__ volatile("outw %0, %1" : : "a"(value), "Nd"(port));
}
static void outl(uint16_t port, uint32_t value) {
    __asm__ volatile("outl %0, %1" : : "a"(value), "Nd"(port));
}
static uint8_t inb(uint16_t port) {
    uint8_t value;
    __asm__ volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
    return value;
}
static uint32_t inl(uint16_t port) {
    uint32_t value;
    __asm__ volatile("inl %1, %0" : "=a"(value) : "Nd"(port));
    return value;
}

static void put(const char* text) {
    for (; *text; ++text) {
        while (!(inb(0x3FD) & 0x20)) {
        }
        outb(0x3F8, (uint8_t)*text);
    }
}

static void putHex(uint8_t value) {
    const char digits[] = "0123456789abcdef";
    const char text[] = {digits[value >> 4], digits[value & 15], 0};
    put(text);
}

// The Bochs display adapter's linear framebuffer, wherever the firmware put its first BAR.
static uint32_t* framebuffer(void) {
    for (uint32_t slot = 0; slot < 32; ++slot) {
        outl(0xCF8, 0x80000000u | slot << 11);
        if (inl(0xCFC) == 0x11111234u) {
            outl(0xCF8, 0x80000000u | slot << 11 | 0x10);
            return (uint32_t*)(uintptr_t)(inl(0xCFC) & ~0xFu);
        }
    }
    return 0;
}

static void setMode(void) {
    const uint16_t registers[][2] = {{4, 0}, {1, width}, {2, height}, {3, 32}, {4, 0x41}};
    for (unsigned i = 0; i < sizeof registers / sizeof registers[0]; ++i) {
        outw(0x1CE, registers[i][0]);
        outw(0x1CF, registers[i][1]);
    }
}

// A triangle wave: smooth like a cosine, without one.
static int wave(int t, int period) {
    int phase = (t % period + period) % period;
    int rise = phase < period / 2 ? phase : period - phase;
    return rise * 510 / period;
}

static void draw(uint32_t* pixels) {
    uint32_t seed = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245u + 12345u;
            int grain = (int)(seed >> 29) - 4;
            int r = wave(x + y / 3, 700) + grain, g = wave(y * 2 - x / 2, 900) + grain,
                b = wave(x - y + 300, 1100) / 2 + 64 + grain;
            r = r < 0 ? 0 : r > 255 ? 255 : r;
            g = g < 0 ? 0 : g > 255 ? 255 : g;
            b = b < 0 ? 0 : b > 255 ? 255 : b;
            pixels[y * width + x] = (uint32_t)(r << 16 | g << 8 | b);
        }
    }
}

void guest(void) {
    uint32_t* pixels = framebuffer();
    if (pixels) {
        setMode();
        draw(pixels);
    }
    put(pixels ? "ready\n" : "no display\n");
    int extended = 0;
    for (;;) {
        const uint8_t status = inb(0x64);
        if (!(status & 1)) {
            continue;
        }
        const uint8_t code = inb(0x60);
        if (status & 0x20) {  // the mouse's
            continue;
        }
        if (code == 0xE0) {
            extended = 1;
            continue;
        }
        put(code & 0x80 ? "up " : "down ");
        put(extended ? "e0" : "");
        putHex(code & 0x7F);
        put("\n");
        extended = 0;
    }
}
