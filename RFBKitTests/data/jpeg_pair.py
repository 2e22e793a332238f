# jpeg_pair.py WIDTH HEIGHT SUBSAMPLING(0 4:4:4, 1 4:2:2, 2 4:2:0) QUALITY RGB|L OUT: a photo-like
# JPEG in OUT and PIL's decode of it in OUT.rgb (RGB bytes, row by row).
import io, math, sys; from PIL import Image

width, height, subsampling, quality = map(int, sys.argv[1:5])
image = Image.new("RGB", (width, height))
image.putdata([(int(127 + 127 * math.sin(x / 5 + y / 9)), (x * 7 + y * 3) % 256, (x * y) % 251)
               for y in range(height) for x in range(width)])
image.convert(sys.argv[5]).save(encoded := io.BytesIO(), "JPEG", quality=quality, subsampling=subsampling)
open(sys.argv[6], "wb").write(encoded.getvalue())
open(sys.argv[6] + ".rgb", "wb").write(Image.open(encoded).convert("RGB").tobytes())
