#!/usr/bin/python3
"""Builds the two small test detection models as ONNX graphs.

Run with Debian's system Python (python3-onnx):

    /usr/bin/python3 tools/make_test_models.py OUTDIR [--name-sign NAME] [--name-digit NAME]
                                                       [--form compiled|package|both]
                                                       [--two-image-inputs]

Writes, for each model, OUTDIR/NAME.mlmodelc (the compiled form the runtime
opens) and/or OUTDIR/NAME.mlpackage (the source form that compileModelAtURL
turns into a compiled directory). See docs/models.md for both layouts.

The graphs are hand-built and deterministic; their answers follow from the
input colours, so a test frame can be drawn to give a known result.

Sign model (input 128 x 128, outputs coordinates [1,4], confidence [1,1]):
  A pixel is "sign" when R - G/2 - B/2 >= 0.75 (pure red counts, grey, white,
  black and the glyph colours below do not). A column (row) is occupied when
  its sign pixels add up to at least one pixel. The one box is centred on the
  occupied columns and rows and spans them:
    x = mean of (j + 0.5) / W over occupied columns j,  w = occupied / W,
    y, h likewise over rows. confidence = sign pixels / (w * h in pixels),
  i.e. how much of its box the red area fills (1.0 for a solid rectangle).
  An image without red gives the box (0, 0, 0, 0) with confidence 0.
  With --two-image-inputs the same graph also declares an image input
  "overlay" of 48 x 24 that no node reads, before "image" (NAME_extra_first)
  or after it (NAME_extra_second); both answer exactly like the sign model.

Digit model (input 64 x 32, outputs coordinates [4,4], confidence [4,11]):
  The input is cut into 4 vertical slots of 16 x 32 pixels. A glyph of class
  c (0-9 the digits, 10 the letter P) is a patch of colour (R, G, B) =
  (0, c / 10, 1); blended with the red sign around it, G / B still equals
  c / 10. Each pixel answers class c with
    B * max(0, 1 - 10 * |G / B - c / 10|)   (computed as max(0, B - 10|G - cB/10|)),
  and a slot's score for c is 4 x the mean answer over the slot: a glyph of
  a quarter of the slot's area (half its width, half its height) scores 1.0
  for its class and 0 for every other class; an empty slot scores 0
  everywhere. Rows come out right to left (row 0 is the rightmost slot), so a
  reader must sort the boxes by x. Row r describes slot k = 3 - r with the
  constant box x = (k + 0.5) / 4, y = 0.5, w = 0.25, h = 1.
"""

import argparse
import json
import os
import shutil
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 13
PIXEL_FORMAT_32ARGB = 0x20

SIGN_W, SIGN_H = 128, 128
DIGIT_W, DIGIT_H = 64, 32
DIGIT_SLOTS = 4
DIGIT_CLASSES = 11
# The unused second image input of the --two-image-inputs models.
EXTRA_W, EXTRA_H = 48, 24


class Graph:
    def __init__(self):
        self.nodes = []
        self.inits = []
        self.count = 0

    def const(self, array, name=None):
        name = name or self.fresh("c")
        self.inits.append(numpy_helper.from_array(np.asarray(array, dtype=np.float32), name))
        return name

    def const_i64(self, array):
        name = self.fresh("i")
        self.inits.append(numpy_helper.from_array(np.asarray(array, dtype=np.int64), name))
        return name

    def fresh(self, prefix):
        self.count += 1
        return "%s%d" % (prefix, self.count)

    def op(self, op_type, inputs, out=None, **attrs):
        out = out or self.fresh(op_type.lower())
        self.nodes.append(helper.make_node(op_type, inputs, [out], **attrs))
        return out

    def conv1x1(self, x, weights, bias, out=None):
        w = np.asarray(weights, dtype=np.float32)
        w = w.reshape(w.shape[0], w.shape[1], 1, 1)
        return self.op("Conv", [x, self.const(w), self.const(bias)], out, kernel_shape=[1, 1])

    def clamp01_pair(self, x, weights, bias):
        """min(max(a, 0), 1) for a = weights . x + bias, as relu(a) - relu(a - 1)."""
        w = np.asarray(weights, dtype=np.float32)
        b = np.asarray(bias, dtype=np.float32)
        pair = self.conv1x1(x, np.concatenate([w, w]), np.concatenate([b, b - 1.0]))
        pair = self.op("Relu", [pair])
        n = w.shape[0]
        diff = np.concatenate([np.eye(n), -np.eye(n)], axis=1)
        return self.conv1x1(pair, diff, np.zeros(n))

    def model(self, inputs, outputs):
        g = helper.make_graph(self.nodes, "tevra_test", inputs, outputs, self.inits)
        m = helper.make_model(g, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="make_test_models")
        m.ir_version = 7
        onnx.checker.check_model(m)
        return m


def image_input(w, h, name="image"):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, [1, 3, h, w])


def build_sign(extra=None):
    """The sign model; `extra` ("first" or "second") adds an image input
    "overlay" of EXTRA_W x EXTRA_H that no node reads, declared before or
    after "image"."""
    g = Graph()
    # Sign mask in [0, 1]: clamp(4 * (R - G/2 - B/2) - 2).
    mask = g.clamp01_pair("image", [[4.0, -2.0, -2.0]], [-2.0])  # [1,1,H,W]
    # Column and row occupancy: clamp(sum) over each column / row.
    colmean = g.op("AveragePool", [mask], kernel_shape=[SIGN_H, 1], strides=[SIGN_H, 1])  # [1,1,1,W]
    rowmean = g.op("AveragePool", [mask], kernel_shape=[1, SIGN_W], strides=[1, SIGN_W])  # [1,1,H,1]
    colocc = g.clamp01_pair(colmean, [[float(SIGN_H)]], [0.0])
    rowocc = g.clamp01_pair(rowmean, [[float(SIGN_W)]], [0.0])
    colflat = g.op("Reshape", [colocc, g.const_i64([1, SIGN_W])])
    rowflat = g.op("Reshape", [rowocc, g.const_i64([1, SIGN_H])])
    # [count, sum of centres] per axis, normalised by the axis length.
    xs = np.stack([np.full(SIGN_W, 1.0 / SIGN_W), (np.arange(SIGN_W) + 0.5) / (SIGN_W * SIGN_W)], axis=1)
    ys = np.stack([np.full(SIGN_H, 1.0 / SIGN_H), (np.arange(SIGN_H) + 0.5) / (SIGN_H * SIGN_H)], axis=1)
    # [w, sum of occupied centres / W] and the same for rows; the mean
    # centre is then sx / w.
    colstat = g.op("MatMul", [colflat, g.const(xs)])  # [1,2]
    rowstat = g.op("MatMul", [rowflat, g.const(ys)])  # [1,2]
    # Area of the mask as a fraction of the image.
    area = g.op("GlobalAveragePool", [mask])
    area = g.op("Reshape", [area, g.const_i64([1, 1])])
    # stats = [w, sx, h, sy, area]
    stats = g.op("Concat", [colstat, rowstat, area], axis=1)
    # numerators [sx, sy, w, h, area], denominators [w, h, 1, 1, w*h]
    pick = np.zeros((5, 4), dtype=np.float32)
    pick[1, 0] = 1.0  # sx
    pick[3, 1] = 1.0  # sy
    pick[0, 2] = 1.0  # w
    pick[2, 3] = 1.0  # h
    num = g.op("MatMul", [stats, g.const(pick)])  # [1,4]
    # x = sx / w, y = sy / h (eps guards an image without red), w, h.
    dpick = np.zeros((5, 4), dtype=np.float32)
    dpick[0, 0] = 1.0
    dpick[2, 1] = 1.0
    den = g.op("MatMul", [stats, g.const(dpick)])
    den = g.op("Add", [den, g.const(np.array([[1e-6, 1e-6, 1.0, 1.0]], dtype=np.float32))])
    coords = g.op("Div", [num, den], out="coordinates")
    # confidence = area / (w * h)
    apick = np.zeros((5, 1), dtype=np.float32)
    apick[4, 0] = 1.0
    wpick = np.zeros((5, 1), dtype=np.float32)
    wpick[0, 0] = 1.0
    hpick = np.zeros((5, 1), dtype=np.float32)
    hpick[2, 0] = 1.0
    a = g.op("MatMul", [stats, g.const(apick)])
    wv = g.op("MatMul", [stats, g.const(wpick)])
    hv = g.op("MatMul", [stats, g.const(hpick)])
    box = g.op("Mul", [wv, hv])
    box = g.op("Add", [box, g.const(np.array([[1e-6]], dtype=np.float32))])
    g.op("Div", [a, box], out="confidence")
    del coords
    inputs = [image_input(SIGN_W, SIGN_H)]
    if extra == "first":
        inputs.insert(0, image_input(EXTRA_W, EXTRA_H, "overlay"))
    elif extra == "second":
        inputs.append(image_input(EXTRA_W, EXTRA_H, "overlay"))
    return g.model(
        inputs,
        [
            helper.make_tensor_value_info("coordinates", TensorProto.FLOAT, [1, 4]),
            helper.make_tensor_value_info("confidence", TensorProto.FLOAT, [1, 1]),
        ],
    )


def build_digit():
    g = Graph()
    n = DIGIT_CLASSES
    # Stage 1: +-(G - c/10 * B) for every class, and B itself; relu.
    w1 = []
    for c in range(n):
        w1.append([0.0, 1.0, -c / 10.0])
    for c in range(n):
        w1.append([0.0, -1.0, c / 10.0])
    w1.append([0.0, 0.0, 1.0])
    s1 = g.conv1x1("image", w1, np.zeros(2 * n + 1))
    s1 = g.op("Relu", [s1])
    # Stage 2: 4 * relu(B - 10 * |G - c/10 * B|) per class.
    w2 = np.zeros((n, 2 * n + 1), dtype=np.float32)
    for c in range(n):
        w2[c, c] = -40.0
        w2[c, n + c] = -40.0
        w2[c, 2 * n] = 4.0
    s2 = g.conv1x1(s1, w2, np.zeros(n))
    s2 = g.op("Relu", [s2])
    slot_w = DIGIT_W // DIGIT_SLOTS
    pooled = g.op("AveragePool", [s2], kernel_shape=[DIGIT_H, slot_w], strides=[DIGIT_H, slot_w])  # [1,11,1,4]
    flat = g.op("Reshape", [pooled, g.const_i64([n, DIGIT_SLOTS])])  # [11,4]
    reverse = np.eye(DIGIT_SLOTS, dtype=np.float32)[::-1].copy()
    flipped = g.op("MatMul", [flat, g.const(reverse)])  # column r = slot 3 - r
    g.op("Transpose", [flipped], out="confidence", perm=[1, 0])  # [4,11]
    # Constant slot boxes, in the same (right to left) row order. The graph
    # derives them from the scores (times zero) so that the output is a
    # computed tensor with a declared shape.
    boxes = np.array([[(k + 0.5) / DIGIT_SLOTS, 0.5, 1.0 / DIGIT_SLOTS, 1.0] for k in range(DIGIT_SLOTS)][::-1],
                     dtype=np.float32)
    zero = g.op("MatMul", [g.op("Transpose", [flipped], perm=[1, 0]), g.const(np.zeros((n, 4)))])  # [4,4]
    g.op("Add", [zero, g.const(boxes)], out="coordinates")
    return g.model(
        [image_input(DIGIT_W, DIGIT_H)],
        [
            helper.make_tensor_value_info("coordinates", TensorProto.FLOAT, [DIGIT_SLOTS, 4]),
            helper.make_tensor_value_info("confidence", TensorProto.FLOAT, [DIGIT_SLOTS, n]),
        ],
    )


def image_description(width, height, name="image"):
    return {
        "name": name,
        "type": "image",
        "width": width,
        "height": height,
        "pixelFormat": PIXEL_FORMAT_32ARGB,
        "tensor": {"layout": "NCHW", "channels": "RGB", "scale": 1.0 / 255.0, "bias": [0.0, 0.0, 0.0]},
    }


def description(width, height, outputs, extra=None):
    inputs = [image_description(width, height)]
    if extra == "first":
        inputs.insert(0, image_description(EXTRA_W, EXTRA_H, "overlay"))
    elif extra == "second":
        inputs.append(image_description(EXTRA_W, EXTRA_H, "overlay"))
    return {
        "formatVersion": 1,
        "model": "model.onnx",
        "inputs": inputs,
        "outputs": outputs,
    }


def write(outdir, name, model, desc, form):
    forms = ["compiled", "package"] if form == "both" else [form]
    for f in forms:
        ext = ".mlmodelc" if f == "compiled" else ".mlpackage"
        d = os.path.join(outdir, name + ext)
        if os.path.exists(d):
            shutil.rmtree(d)
        os.makedirs(d)
        onnx.save(model, os.path.join(d, "model.onnx"))
        dd = dict(desc)
        if f == "package":
            # The source form leaves the output shapes to the compiler.
            dd["outputs"] = [{"name": o["name"]} for o in desc["outputs"]]
        with open(os.path.join(d, "description.json"), "w") as fh:
            json.dump(dd, fh, indent=2)
            fh.write("\n")


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("outdir")
    p.add_argument("--name-sign", default="test_sign")
    p.add_argument("--name-digit", default="test_digit")
    p.add_argument("--form", choices=["compiled", "package", "both"], default="both")
    p.add_argument("--two-image-inputs", action="store_true",
                   help="write instead NAME_extra_first and NAME_extra_second (NAME from --name-sign): the sign "
                        "model with a second image input \"overlay\" that no node reads, declared before and "
                        "after \"image\"")
    a = p.parse_args(argv)
    os.makedirs(a.outdir, exist_ok=True)
    sign_outputs = [{"name": "coordinates", "shape": [1, 4]}, {"name": "confidence", "shape": [1, 1]}]
    if a.two_image_inputs:
        for extra in ("first", "second"):
            write(a.outdir, "%s_extra_%s" % (a.name_sign, extra), build_sign(extra),
                  description(SIGN_W, SIGN_H, sign_outputs, extra), a.form)
        return 0
    write(a.outdir, a.name_sign, build_sign(), description(SIGN_W, SIGN_H, sign_outputs), a.form)
    write(a.outdir, a.name_digit, build_digit(),
          description(DIGIT_W, DIGIT_H, [{"name": "coordinates", "shape": [DIGIT_SLOTS, 4]},
                                         {"name": "confidence", "shape": [DIGIT_SLOTS, DIGIT_CLASSES]}]),
          a.form)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
