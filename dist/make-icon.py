# Draws the program's icon (dist/dervik.png, installed into the hicolor theme
# and carried by the window): a rounded square, three devices on a line and
# a check mark. Plain Python, no imaging library.
# Usage: python3 dist/make-icon.py dist/dervik.png 128
import zlib, struct, math, sys
N = int(sys.argv[2])
def px(x, y):
    s = N / 128.0
    X, Y = x / s, y / s
    # rounded square background
    r = 22; inside = True
    cx = min(max(X, r + 4), 124 - r); cy = min(max(Y, r + 4), 124 - r)
    d = math.hypot(X - cx, Y - cy)
    if d > r: return (0, 0, 0, 0)
    a = 255 if d < r - 1 else int(255 * (r - d))
    col = (38, 92, 160)
    # line linking devices
    if 56 <= Y <= 62 and 24 <= X <= 104: col = (230, 236, 245)
    for dx in (30, 64, 98):
        if abs(X - dx) <= 12 and 44 <= Y <= 74: col = (245, 248, 252)
        if abs(X - dx) <= 8 and 48 <= Y <= 64: col = (38, 92, 160)
    # check mark
    def seg(ax, ay, bx, by, w):
        vx, vy = bx - ax, by - ay; t = max(0, min(1, ((X - ax) * vx + (Y - ay) * vy) / (vx * vx + vy * vy)))
        return math.hypot(X - ax - t * vx, Y - ay - t * vy) <= w
    if seg(44, 94, 58, 106, 6) or seg(58, 106, 86, 82, 6): col = (90, 200, 110)
    return col + (a,)
raw = b''.join(b'\0' + b''.join(bytes(px(x, y)) for x in range(N)) for y in range(N))
def chunk(t, d): return struct.pack('>I', len(d)) + t + d + struct.pack('>I', zlib.crc32(t + d) & 0xffffffff)
png = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', N, N, 8, 6, 0, 0, 0)) + chunk(b'IDAT', zlib.compress(raw, 9)) + chunk(b'IEND', b'')
open(sys.argv[1], 'wb').write(png)
