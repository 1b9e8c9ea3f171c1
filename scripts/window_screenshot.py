"""Renders the window in full mode, with a class row and a stop line, and
saves a picture of it: window_screenshot.py PICTURE [en|zh] (the window's
language, English by default). Run by scripts/screenshot.sh under Xvfb with a
private copy of the module (its data folder is a temporary one) to make
docs/window.png and docs/window-zh.png."""
import ctypes
import ctypes.util
import struct
import sys
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_ubyte)),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int), ("depth", ctypes.c_int),
                ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int)]


def grab(window_id, width, height):
    """The window's pixels as RGB rows, read from the X server (24-bit TrueColor)."""
    x11 = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XGetImage.restype = ctypes.POINTER(XImage)
    x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                              ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    display = x11.XOpenDisplay(None)
    image = x11.XGetImage(display, window_id, 0, 0, width, height, 0xFFFFFFFF, 2).contents  # ZPixmap
    if image.bits_per_pixel != 32:
        raise SystemExit(f"unsupported display depth: {image.bits_per_pixel} bits per pixel")
    raw = ctypes.string_at(image.data, image.bytes_per_line * height)
    rows = []
    for y in range(height):
        line = raw[y * image.bytes_per_line:y * image.bytes_per_line + 4 * width]
        rows.append(bytes(b for i in range(0, len(line), 4) for b in (line[i + 2], line[i + 1], line[i])))
    return rows


def write_png(path, rows, width, height):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    body = zlib.compress(b"".join(b"\0" + row for row in rows), 9)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                     + chunk(b"IDAT", body) + chunk(b"IEND", b""))


def main():
    import vardex
    import tkinter as tk

    out = Path(sys.argv[1])
    language = sys.argv[2] if len(sys.argv) > 2 else "en"
    if language not in ("en", "zh"):
        raise SystemExit(f"unknown language {language!r}: en or zh")
    shop = ROOT / "examples" / "shop"
    vardex.language_select_file_path.write_text("1" if language == "zh" else "0")
    vardex.record_simple_mode(0)
    vardex.project_main_file = str(shop / "main.py")
    vardex.folder_path = str(shop)
    root = tk.Tk()
    app = vardex.SimpleGUIApp(root)
    fields, enabled, _ = app.entries[0]
    for key, value in (("Input Class Names", "Cart"), ("Input Var Names", "total, discount, count, owner.name"),
                       ("Input List Names", "items"), ("Input instance Names", "cart")):
        fields[key].set(value)
    enabled.set("1")
    app.add_stop_line_with_data({"file_path": str(shop / "pricing.py"), "line_number": "11", "enabled": True})
    app.top_enable_var.set("1")
    app.center_window()
    root.update()

    def shoot():
        root.update()
        w, h = root.winfo_width(), root.winfo_height()
        write_png(out, grab(root.winfo_id(), w, h), w, h)
        root.destroy()

    root.after(500, shoot)
    root.mainloop()


if __name__ == "__main__":
    main()
