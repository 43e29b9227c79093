#!/usr/bin/python3
"""Hand-built hostile model packages for the model runtime's tests.

Run with Debian's system Python (python3-onnx, python3-numpy):

    /usr/bin/python3 tools/hostile_models.py OUTDIR [--only NAME ...] [--list]

writes OUTDIR/NAME.mlpackage/{description.json, model.onnx} for each package.
As a module, for archive generators:

    import hostile_models
    for name, files in hostile_models.packages():
        ...  # the directory NAME.mlpackage holds files:
             # {"description.json": bytes, "model.onnx": bytes}

Each package is a detection-model package (docs/models.md) that is wrong in
one way a downloaded archive can be:

  short_initializer   an initializer declaring 67,108,864 floats (256 MiB)
                      that carries 4 bytes of data: OpenCV's ONNX importer
                      copies the declared size and crashes (SIGSEGV).
  twelve_inputs       12 multi-array inputs of 16,777,216 elements each
                      (about 800 MB of zero tensors if made before checking).
  huge_image          one 8192 x 8192 image input (805 MB of float tensor).
  huge_constant       a ConstantOfShape node making a 1,073,741,824-float
                      (4 GiB) tensor while the network loads.
  huge_output         declared output shapes with dimensions near 2^62.
  many_outputs        64 declared outputs.
  deep_graph          a chain of 4,000 Relu nodes.
  not_onnx            random bytes as model.onnx.
  truncated           a valid graph cut in the middle of its weights.
  description_bomb    a description nesting arrays 100,000 deep.
"""

import argparse
import json
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 13
PIXEL_FORMAT_32ARGB = 0x20
W, H = 32, 32


def description(inputs=None, outputs=None):
    if inputs is None:
        inputs = [{"name": "image", "type": "image", "width": W, "height": H,
                   "pixelFormat": PIXEL_FORMAT_32ARGB}]
    if outputs is None:
        outputs = [{"name": "coordinates"}, {"name": "confidence"}]
    return json.dumps({"formatVersion": 1, "model": "model.onnx",
                       "inputs": inputs, "outputs": outputs}, indent=2).encode()


def serialize(nodes, initializers, outputs=None, extra_inputs=()):
    """A graph with the image input [1,3,H,W] and the two detection outputs."""
    if outputs is None:
        outputs = [helper.make_tensor_value_info("coordinates", TensorProto.FLOAT, [1, 4]),
                   helper.make_tensor_value_info("confidence", TensorProto.FLOAT, [1, 1])]
    inputs = [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, H, W])] + list(extra_inputs)
    graph = helper.make_graph(nodes, "hostile", inputs, outputs, initializer=initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 7
    return model.SerializeToString()


def detection_head(source):
    """Nodes turning an NCHW tensor `source` of 3 channels into coordinates
    [1,4] and confidence [1,1] (channel means times constant weights)."""
    inits = [numpy_helper.from_array(np.full((3, 4), 0.1, dtype=np.float32), "w4"),
             numpy_helper.from_array(np.full((3, 1), 0.1, dtype=np.float32), "w1")]
    nodes = [helper.make_node("GlobalAveragePool", [source], ["pooled"]),
             helper.make_node("Flatten", ["pooled"], ["flat"], axis=1),
             helper.make_node("MatMul", ["flat", "w4"], ["coordinates"]),
             helper.make_node("MatMul", ["flat", "w1"], ["confidence"])]
    return nodes, inits


def good_model():
    nodes, inits = detection_head("image")
    return serialize(nodes, inits)


def short_initializer():
    # 67,108,864 floats declared, 4 bytes carried.
    weights = onnx.TensorProto()
    weights.name = "weights"
    weights.data_type = TensorProto.FLOAT
    weights.dims.append(67108864)
    weights.raw_data = b"\0\0\0\0"
    nodes, inits = detection_head("scaled")
    nodes = [helper.make_node("Mul", ["image", "weights"], ["scaled"])] + nodes
    return serialize(nodes, inits + [weights])


def huge_constant():
    shape = numpy_helper.from_array(np.array([1, 1024, 1024, 1024], dtype=np.int64), "big_shape")
    value = helper.make_tensor("value", TensorProto.FLOAT, [1], [1.0])
    nodes, inits = detection_head("sum")
    nodes = [helper.make_node("ConstantOfShape", ["big_shape"], ["big"], value=value),
             helper.make_node("Add", ["image", "big"], ["sum"])] + nodes
    return serialize(nodes, inits + [shape])


def deep_graph(depth=4000):
    nodes = []
    last = "image"
    for i in range(depth):
        nodes.append(helper.make_node("Relu", [last], ["r%d" % i]))
        last = "r%d" % i
    head, inits = detection_head(last)
    return serialize(nodes + head, inits)


def truncated():
    # A 1 MB weight tensor, the file cut in its middle.
    weights = numpy_helper.from_array(np.ones((1, 3, 256, 341), dtype=np.float32), "w")
    nodes, inits = detection_head("image")
    data = serialize(nodes, inits + [weights])
    return data[: len(data) // 2]


# Packages that are odd but sound: they compile and open (within the check's
# bounds), so they are not expected to fail anywhere.
OPENS = {"deep_graph"}


def packages():
    """[(name, {path relative to NAME.mlpackage: bytes})] of every hostile
    package; name is a plain model name such as "short_initializer"."""
    good = good_model()
    rng = np.random.default_rng(14)
    out = []

    def add(name, model, desc=None):
        out.append((name, {"description.json": desc if desc is not None else description(),
                                          "model.onnx": model}))

    add("short_initializer", short_initializer())
    add("twelve_inputs", good, description(
        inputs=[{"name": "image", "type": "image", "width": W, "height": H}] +
        [{"name": "extra%d" % i, "type": "multiArray", "shape": [16, 1024, 1024]} for i in range(11)]))
    add("huge_image", good, description(
        inputs=[{"name": "image", "type": "image", "width": 8192, "height": 8192}]))
    add("huge_constant", huge_constant())
    add("huge_output", good, description(outputs=[
        {"name": "coordinates", "shape": [2 ** 62, 4]}, {"name": "confidence", "shape": [2 ** 62, 2 ** 62, -1]}]))
    add("many_outputs", good, description(
        outputs=[{"name": "coordinates"}, {"name": "confidence"}] + [{"name": "o%d" % i} for i in range(62)]))
    add("deep_graph", deep_graph())
    add("not_onnx", rng.integers(0, 256, 4096, dtype=np.uint8).tobytes())
    add("truncated", truncated())
    add("description_bomb", good, b"[" * 100000 + b"]" * 100000)
    return out


def write(outdir, only=None):
    for name, files in packages():
        if only and name not in only:
            continue
        for rel, data in files.items():
            path = os.path.join(outdir, name + ".mlpackage", rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)


def main(argv):
    parser = argparse.ArgumentParser(description="Writes hostile model packages.")
    parser.add_argument("outdir", nargs="?")
    parser.add_argument("--only", nargs="*", help="package names (without .mlpackage)")
    parser.add_argument("--list", action="store_true", help="print the package names")
    args = parser.parse_args(argv)
    if args.list:
        for name, _ in packages():
            print(name)
        return 0
    if not args.outdir:
        parser.error("OUTDIR is required")
    write(args.outdir, set(args.only) if args.only else None)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
