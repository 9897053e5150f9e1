"""Records 30 frames of depth and colour, then plays them back."""
import ovalith

with ovalith.open("*:0", streams=("Depth", "Image")) as dev:
    with dev.record("walk.rec"):
        for count, frames in enumerate(dev):
            if count + 1 == 30:
                break
print("recorded walk.rec")

with ovalith.open("walk.rec") as rec:
    print("%d frames" % len(rec))
    for frames in rec:
        print("frame %d at %.3f s, colour %s" % (frames.frame_id, frames.timestamp / 1e6, frames.image.shape))
    rec.seek(frame=1)  # frames count from 1, as the command-line tool counts them
    print("back at frame 1 (id %d)" % rec.read().frame_id)
