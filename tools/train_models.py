#!/usr/bin/python3
"""Trains the floor-sign detector and the digit reader on views rendered by
tevra-synth, exports both to ONNX and packages them as model packages and
ZIP archives (docs/models.md).

Run with Debian's system Python and python3-torch (tools/train_models.sh does
everything: installs python3-torch when missing, renders the views, trains,
packages):

    /usr/bin/python3 tools/train_models.py --data VIEWS_DIR [VIEWS_DIR ...] --out models
        [--sign-steps N | --sign-minutes 3.5] [--digit-steps N | --digit-minutes 1.5]
        [--threads 1] [--workers 1] [--seed 1] [--only sign|digit]

VIEWS_DIR is the output of `tevra-synth views`: labels.jsonl, images/ (the
upright frame as the sign model sees it, 640 x 640) and crops/ (each sign with
a margin, cut from the upright full-size frame).

Both models are small fully convolutional centre-point detectors:

  sign  input 640 x 640 RGB, a score map and a box at every 8th pixel
        (80 x 80 cells). Outputs "coordinates" [6400, 4] (centre x, y, width,
        height as fractions of the input) and "confidence" [6400, 1].
  digit input 128 x 64 (width x height) RGB, one cell per 4 columns (32
        cells) with 11 class scores (0-9, 10 = "P") and a box. Outputs
        "coordinates" [32, 4] and "confidence" [32, 11].

Boxes are reduced inside the graph, since OpenCV 4.6 has no
NonMaxSuppression: a score survives only where it equals the maximum of its
3 x 3 neighbourhood (for digits: of its 3 neighbouring columns over all
classes); every other score is set to 0. The graphs use only Conv, Relu,
Sigmoid, MaxPool, AveragePool, Transpose, Reshape, Concat, Add, Sub and Mul
at opset 12, and the export is checked against OpenCV's own inference.
"""

import argparse
import json
import math
import os
import random
import shutil
import sys
import time
import zipfile

# Waiting threads must not spin: the CPU budget below counts every thread.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import cv2
import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

SIGN_NAME = "yolo26n_sign_640"
DIGIT_NAME = "yolo26n_digit_640"
SIGN_IN = 640
SIGN_STRIDE = 8
SIGN_CELLS = SIGN_IN // SIGN_STRIDE
SIGN_TRAIN = 256  # sign training crops (the network is fully convolutional)
DIGIT_W, DIGIT_H = 128, 64
DIGIT_STRIDE = 4
DIGIT_CELLS = DIGIT_W // DIGIT_STRIDE
DIGIT_CLASSES = 11
OPSET = 12
PIXEL_FORMAT_32ARGB = 0x20


def conv(cin, cout, stride=1, k=3):
    pad = (k // 2) if isinstance(k, int) else (k[0] // 2, k[1] // 2)
    return nn.Sequential(nn.Conv2d(cin, cout, k, stride, pad, bias=False), nn.BatchNorm2d(cout), nn.ReLU(inplace=True))


class SignNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.stem = nn.Sequential(conv(3, 8, 2), conv(8, 16, 2), conv(16, 24, 2), conv(24, 24))  # /8
        self.mid = nn.Sequential(conv(24, 40, 2), conv(40, 40))  # /16
        self.deep = nn.Sequential(conv(40, 56, 2), conv(56, 56), conv(56, 56))  # /32
        self.fuse16 = conv(56 + 40, 40, k=1)
        self.fuse8 = nn.Sequential(conv(40 + 24, 24, k=1), conv(24, 24))
        self.heat = nn.Conv2d(24, 1, 1)
        self.xy = nn.Conv2d(24, 2, 1)
        self.wh = nn.Conv2d(24, 2, 1)
        nn.init.constant_(self.heat.bias, -4.0)

    def forward(self, x):
        a = self.stem(x)
        b = self.mid(a)
        c = self.deep(b)
        b = self.fuse16(torch.cat([F.interpolate(c, scale_factor=2.0, mode="nearest"), b], 1))
        a = self.fuse8(torch.cat([F.interpolate(b, scale_factor=2.0, mode="nearest"), a], 1))
        return self.heat(a), self.xy(a), self.wh(a)


class DigitNet(nn.Module):
    def __init__(self):
        super().__init__()
        self.body = nn.Sequential(
            conv(3, 16, 2), conv(16, 32, 2), conv(32, 32),  # 16 x 32
            conv(32, 48, (2, 1)), conv(48, 48, (2, 1)), conv(48, 64, (2, 1)),  # 2 x 32
        )
        self.pool = nn.AvgPool2d((2, 1))
        self.ctx = nn.Sequential(conv(64, 64, k=(1, 3)), conv(64, 64, k=(1, 3)))
        self.cls = nn.Conv2d(64, DIGIT_CLASSES, 1)
        self.box = nn.Conv2d(64, 4, 1)
        nn.init.constant_(self.cls.bias, -4.0)

    def forward(self, x):
        f = self.ctx(self.pool(self.body(x)))
        return self.cls(f), self.box(f)


class SignExport(nn.Module):
    """The deployed graph: scores reduced to local peaks, boxes in fractions."""

    def __init__(self, net):
        super().__init__()
        self.net = net
        n = SIGN_CELLS
        # Full-shape constants: OpenCV 4.6 mishandles broadcasting ones.
        gy, gx = np.mgrid[0:n, 0:n].astype(np.float32)
        grid = np.zeros((1, 4, n, n), np.float32)
        grid[0, 0] = gx / n
        grid[0, 1] = gy / n
        scale = np.ones((1, 4, n, n), np.float32)
        scale[0, :2] = 1.0 / n
        self.register_buffer("grid", torch.from_numpy(grid))
        self.register_buffer("scale", torch.from_numpy(scale))

    def forward(self, image):
        heat, xy, wh = self.net(image)
        heat = torch.sigmoid(heat)
        peak = F.max_pool2d(heat, 3, 1, 1)
        keep = F.relu(1.0 - (peak - heat) * 10000.0)
        conf = (heat * keep).reshape(SIGN_CELLS * SIGN_CELLS, 1)
        box = torch.cat([torch.sigmoid(xy), torch.sigmoid(wh)], 1) * self.scale + self.grid
        coords = box.reshape(4, SIGN_CELLS * SIGN_CELLS).transpose(0, 1)
        return coords, conf


class DigitExport(nn.Module):
    def __init__(self, net):
        super().__init__()
        self.net = net
        n = DIGIT_CELLS
        grid = np.zeros((1, 4, 1, n), np.float32)
        grid[0, 0, 0] = np.arange(n, dtype=np.float32) / n
        scale = np.ones((1, 4, 1, n), np.float32)
        scale[0, 0] = 1.0 / n
        self.register_buffer("grid", torch.from_numpy(grid))
        self.register_buffer("scale", torch.from_numpy(scale))
        # Spreads the per-column maximum back over the 11 classes.
        self.spread = nn.Conv2d(1, DIGIT_CLASSES, 1, bias=False)
        self.spread.weight.data.fill_(1.0)
        self.spread.weight.requires_grad_(False)

    def forward(self, image):
        cls, box = self.net(image)
        heat = torch.sigmoid(cls)  # [1, 11, 1, 32]
        across = heat.transpose(1, 2)  # [1, 1, 11, 32]
        peak = F.max_pool2d(across, (DIGIT_CLASSES, 3), 1, (0, 1))  # [1, 1, 1, 32]
        keep = F.relu(1.0 - (self.spread(peak) - heat) * 10000.0)
        conf = (heat * keep).reshape(DIGIT_CLASSES, DIGIT_CELLS).transpose(0, 1)
        coords = (torch.sigmoid(box) * self.scale + self.grid).reshape(4, DIGIT_CELLS).transpose(0, 1)
        return coords, conf


# ---- data ----


def load_views(dirs):
    views = []
    for d in dirs:
        with open(os.path.join(d, "labels.jsonl")) as f:
            for line in f:
                try:
                    v = json.loads(line)
                except ValueError:
                    continue  # a view cut short
                v["dir"] = d
                views.append(v)
    return views


def photometric(img, rng):
    """Lighting, blur and noise on a float RGB image in 0..255."""
    img = img * rng.uniform(0.6, 1.3) + rng.uniform(-25, 25)
    img = img * rng.uniform(0.85, 1.15, size=3)[None, None, :]
    if rng.random() < 0.5:
        s = rng.uniform(0.3, 1.6)
        img = cv2.GaussianBlur(img, (0, 0), s)
    if rng.random() < 0.7:
        img = img + rng.normal(0, rng.uniform(1, 9), img.shape)
    return np.clip(img, 0, 255)


def clutter(img, rng, avoid=()):
    """Random shapes, lines and letters pasted away from the labelled boxes."""
    h, w = img.shape[:2]
    for _ in range(rng.integers(0, 5)):
        x0, y0 = int(rng.uniform(0, w)), int(rng.uniform(0, h))
        x1, y1 = x0 + int(rng.uniform(4, max(5, w / 3))), y0 + int(rng.uniform(4, max(5, h / 3)))
        if any(x0 < ax1 and x1 > ax0 and y0 < ay1 and y1 > ay0 for ax0, ay0, ax1, ay1 in avoid):
            continue
        c = tuple(float(v) for v in rng.uniform(0, 255, 3))
        k = rng.integers(0, 3)
        if k == 0:
            cv2.rectangle(img, (x0, y0), (x1, y1), c, -1)
        elif k == 1:
            cv2.line(img, (x0, y0), (x1, y1), c, int(rng.integers(1, 4)))
        else:
            light = tuple(float(v) for v in rng.uniform(200, 255, 3))
            cv2.rectangle(img, (x0, y0), (x1, y1), light, -1)
            word = "".join(chr(int(rng.integers(65, 91))) for _ in range(rng.integers(1, 4)))
            word = word.replace("P", "R")
            scale = max(0.3, (y1 - y0) / 40.0)
            cv2.putText(img, word, (x0 + 2, y1 - 3), cv2.FONT_HERSHEY_SIMPLEX, scale, (20, 20, 20), 2)
    return img


def sign_sample(view, rng, crop=None):
    crop = crop or SIGN_TRAIN
    img = cv2.imread(os.path.join(view["dir"], view["image"]))[:, :, ::-1].astype(np.float32)
    # Scale and a mild perspective jitter of the whole frame.
    s = rng.uniform(0.75, 1.3)
    src = np.float32([[0, 0], [SIGN_IN, 0], [SIGN_IN, SIGN_IN], [0, SIGN_IN]])
    dst = src * s + rng.uniform(-20, 20, (4, 2)).astype(np.float32)
    m = cv2.getPerspectiveTransform(src, dst)
    size = int(SIGN_IN * s) + 20
    img = cv2.warpPerspective(img, m, (size, size), borderMode=cv2.BORDER_REFLECT)

    def warp(box):
        x, y, w, h = box
        pts = np.float32([[(x - w / 2) * SIGN_IN, (y - h / 2) * SIGN_IN], [(x + w / 2) * SIGN_IN, (y - h / 2) * SIGN_IN],
                          [(x + w / 2) * SIGN_IN, (y + h / 2) * SIGN_IN], [(x - w / 2) * SIGN_IN, (y + h / 2) * SIGN_IN]])
        q = cv2.perspectiveTransform(pts[None], m)[0]
        return [q[:, 0].min(), q[:, 1].min(), q[:, 0].max(), q[:, 1].max()]

    target = warp(view["sign"]) if view["sign"] is not None else None
    others = [warp(b) for b in view.get("others", [])]
    # A training crop, usually holding the sign's centre.
    if target is not None and rng.random() < 0.9:
        cx, cy = (target[0] + target[2]) / 2, (target[1] + target[3]) / 2
        ox = int(np.clip(cx - rng.uniform(20, crop - 20), 0, max(0, size - crop)))
        oy = int(np.clip(cy - rng.uniform(20, crop - 20), 0, max(0, size - crop)))
    else:
        ox, oy = int(rng.uniform(0, size - crop)), int(rng.uniform(0, size - crop))
    img = np.ascontiguousarray(img[oy:oy + crop, ox:ox + crop])
    shift = lambda b: [b[0] - ox, b[1] - oy, b[2] - ox, b[3] - oy]
    if target is not None:
        target = shift(target)
    others = [shift(b) for b in others]
    img = clutter(img, rng, ([target] if target is not None else []) + others)
    img = photometric(img, rng)
    return img, target, others


def visible(box, crop):
    """The part of `box` (x0, y0, x1, y1) inside the training crop, as a fraction."""
    x0, y0, x1, y1 = box
    area = max(1e-6, (x1 - x0) * (y1 - y0))
    ix = max(0.0, min(x1, crop) - max(x0, 0))
    iy = max(0.0, min(y1, crop) - max(y0, 0))
    return ix * iy / area


def sign_targets(target, others, crop=None):
    """Score map, loss weights, box of the labelled sign and its cell. Every
    whole sign in the crop is a peak; a sign the crop cuts is neither sign
    nor background (weight 0), since the deployed frame shows it whole."""
    n = (crop or SIGN_TRAIN) // SIGN_STRIDE
    heat = np.zeros((n, n), np.float32)
    weight = np.ones((n, n), np.float32)
    reg = np.zeros(4, np.float32)
    mask = 0.0
    cell = (0, 0)
    gy, gx = np.mgrid[0:n, 0:n].astype(np.float32)
    for box in ([target] if target is not None else []) + others:
        x0, y0, x1, y1 = box
        cx, cy = (x0 + x1) / 2 / SIGN_STRIDE, (y0 + y1) / 2 / SIGN_STRIDE
        v = visible(box, n * SIGN_STRIDE)
        if v <= 0:
            continue
        if v < 0.9 or not (0 <= cx < n and 0 <= cy < n):
            c0, r0 = max(0, int(x0 / SIGN_STRIDE)), max(0, int(y0 / SIGN_STRIDE))
            c1, r1 = min(n, int(math.ceil(x1 / SIGN_STRIDE))), min(n, int(math.ceil(y1 / SIGN_STRIDE)))
            weight[r0:r1, c0:c1] = 0.0
            continue
        bw, bh = (x1 - x0) / SIGN_STRIDE, (y1 - y0) / SIGN_STRIDE
        sx, sy = max(0.6, bw / 6), max(0.6, bh / 6)
        ix, iy = int(cx), int(cy)
        g = np.exp(-((gx - ix) ** 2 / (2 * sx * sx) + (gy - iy) ** 2 / (2 * sy * sy))).astype(np.float32)
        heat = np.maximum(heat, g)
        heat[iy, ix] = 1.0
        weight[iy, ix] = 1.0
        if box is target:
            # Width and height are fractions of the deployed 640 x 640 input.
            reg = np.float32([cx - ix, cy - iy, (x1 - x0) / SIGN_IN, (y1 - y0) / SIGN_IN])
            mask = 1.0
            cell = (iy, ix)
    return heat, weight, reg, mask, cell


def mine_decoys(sign_onnx, views, log, threshold=0.3):
    """Places where the trained sign detector fires without a sign (posters,
    word panels, doors): the digit reader is taught to read nothing there,
    so that a false sign does not become a false floor."""
    net = cv2.dnn.readNetFromONNX(sign_onnx)
    decoys = []
    for v in views:
        img = cv2.imread(os.path.join(v["dir"], v["image"]))[:, :, ::-1]
        net.setInput(np.ascontiguousarray(img.transpose(2, 0, 1)[None]).astype(np.float32) / 255.0)
        coords, conf = net.forward(["coordinates", "confidence"])
        signs = ([v["sign"]] if v["sign"] is not None else []) + v.get("others", [])
        for i in np.nonzero(conf[:, 0] >= threshold)[0]:
            x, y, w, h = (float(c) for c in coords[i])

            def covered(b):
                ix = max(0.0, min(x + w / 2, b[0] + b[2] / 2) - max(x - w / 2, b[0] - b[2] / 2))
                iy = max(0.0, min(y + h / 2, b[1] + b[3] / 2) - max(y - h / 2, b[1] - b[3] / 2))
                return ix * iy / max(1e-9, w * h)

            if w * SIGN_IN >= 6 and h * SIGN_IN >= 6 and not any(covered(b) > 0.1 for b in signs):
                decoys.append((v, (x, y, w, h)))
    log(f"{len(decoys)} decoys where the sign detector fires without a sign, in {len(views)} views")
    return decoys


def decoy_sample(decoys, rng):
    v, (x, y, w, h) = decoys[int(rng.integers(len(decoys)))]
    img = cv2.imread(os.path.join(v["dir"], v["image"]))[:, :, ::-1].astype(np.float32)
    j = rng.uniform(-0.1, 0.1, 4)
    cx, cy, w, h = x + j[0] * w * 0.5, y + j[1] * h * 0.5, w * (1.05 + j[2]), h * (1.05 + j[3])
    x0, y0 = int(np.clip((cx - w / 2) * SIGN_IN, 0, SIGN_IN - 2)), int(np.clip((cy - h / 2) * SIGN_IN, 0, SIGN_IN - 2))
    x1, y1 = max(x0 + 2, int(np.clip((cx + w / 2) * SIGN_IN, 0, SIGN_IN))), max(y0 + 2, int(np.clip((cy + h / 2) * SIGN_IN, 0, SIGN_IN)))
    patch = cv2.resize(np.ascontiguousarray(img[y0:y1, x0:x1]), (DIGIT_W, DIGIT_H), interpolation=cv2.INTER_CUBIC)
    return photometric(patch, rng), []


def digit_sample(view, rng, negatives):
    if view is None:
        # A patch of a view without the sign: the reader must stay silent.
        v = negatives[int(rng.integers(len(negatives)))]
        img = cv2.imread(os.path.join(v["dir"], v["image"]))[:, :, ::-1].astype(np.float32)
        w, h = int(rng.uniform(40, 300)), int(rng.uniform(20, 150))
        x, y = int(rng.uniform(0, SIGN_IN - w)), int(rng.uniform(0, SIGN_IN - h))
        patch = np.ascontiguousarray(img[y:y + h, x:x + w])
        if rng.random() < 0.5:
            patch = clutter(patch, rng)
        patch = cv2.resize(patch, (DIGIT_W, DIGIT_H), interpolation=cv2.INTER_AREA)
        return photometric(patch, rng), []
    img = cv2.imread(os.path.join(view["dir"], view["crop"]))[:, :, ::-1].astype(np.float32)
    H, W = img.shape[:2]
    x0, y0, x1, y1 = view["cropSign"]
    bw, bh = x1 - x0, y1 - y0
    # A detector's box: each edge off by up to 10% of the sign's size.
    j = rng.uniform(-0.1, 0.1, 4)
    grow = rng.uniform(0.97, 1.1)
    cx, cy = (x0 + x1) / 2 + j[0] * bw * 0.5, (y0 + y1) / 2 + j[1] * bh * 0.5
    nw, nh = bw * grow * (1 + j[2]), bh * grow * (1 + j[3])
    ax0, ay0 = max(0.0, cx - nw / 2), max(0.0, cy - nh / 2)
    ax1, ay1 = min(1.0, cx + nw / 2), min(1.0, cy + nh / 2)
    px0, py0, px1, py1 = int(ax0 * W), int(ay0 * H), max(int(ax0 * W) + 2, int(ax1 * W)), max(int(ay0 * H) + 2, int(ay1 * H))
    patch = np.ascontiguousarray(img[py0:py1, px0:px1])
    pw, ph = px1 - px0, py1 - py0
    patch = cv2.resize(patch, (DIGIT_W, DIGIT_H), interpolation=cv2.INTER_AREA if pw > DIGIT_W else cv2.INTER_CUBIC)
    chars = []
    for c in view["chars"]:
        b = c["box"]
        bx0, bx1 = (b[0] * W - px0) / pw, (b[2] * W - px0) / pw
        by0, by1 = (b[1] * H - py0) / ph, (b[3] * H - py0) / ph
        chars.append((c["class"], bx0, by0, bx1, by1))
    return photometric(patch, rng), chars


def digit_targets(chars):
    n = DIGIT_CELLS
    heat = np.zeros((DIGIT_CLASSES, n), np.float32)
    reg = np.zeros((4, n), np.float32)
    mask = np.zeros(n, np.float32)
    gx = np.arange(n, dtype=np.float32)
    for cls, x0, y0, x1, y1 in chars:
        cx = (x0 + x1) / 2 * n
        if not (0 <= cx < n):
            continue
        ix = int(cx)
        s = max(0.5, (x1 - x0) * n / 8)
        heat[cls] = np.maximum(heat[cls], np.exp(-((gx - ix) ** 2) / (2 * s * s)))
        heat[cls, ix] = 1.0
        reg[:, ix] = [cx - ix, np.clip((y0 + y1) / 2, 0, 1), np.clip(x1 - x0, 0, 1), np.clip(y1 - y0, 0, 1)]
        mask[ix] = 1.0
    return heat, reg, mask


def focal(logits, gt, weight=None):
    p = torch.sigmoid(logits).clamp(1e-4, 1 - 1e-4)
    pos = gt.eq(1).float()
    neg = 1 - pos
    if weight is not None:
        neg = neg * weight
    pos_loss = torch.log(p) * (1 - p) ** 2 * pos
    neg_loss = torch.log(1 - p) * p ** 2 * (1 - gt) ** 4 * neg
    npos = pos.sum().clamp(min=1)
    return -(pos_loss.sum() + neg_loss.sum()) / npos


def to_tensor(batch):
    return torch.from_numpy(np.stack(batch).transpose(0, 3, 1, 2).astype(np.float32) / 255.0)


def sign_batch(views, rng, bs=16):
    crop = SIGN_TRAIN
    imgs, heats, weights, regs, masks, cells = [], [], [], [], [], []
    for _ in range(bs):
        img, target, others = sign_sample(views[int(rng.integers(len(views)))], rng, crop)
        h, w, r, m, c = sign_targets(target, others, crop)
        imgs.append(img), heats.append(h), weights.append(w), regs.append(r), masks.append(m), cells.append(c)
    n = crop // SIGN_STRIDE
    idx = np.array([c[0] * n + c[1] for c in cells], np.int64)
    return to_tensor(imgs), torch.from_numpy(np.stack(heats))[:, None], torch.from_numpy(np.stack(weights))[:, None], \
        torch.from_numpy(np.stack(regs)), torch.tensor(masks)[:, None], torch.from_numpy(idx)


def digit_batch(views, negatives, decoys, rng, bs=48):
    imgs, heats, regs, masks = [], [], [], []
    for _ in range(bs):
        r = rng.random()
        if decoys and r < 0.12:
            img, chars = decoy_sample(decoys, rng)
        else:
            v = None if (negatives and r > 0.88) else views[int(rng.integers(len(views)))]
            img, chars = digit_sample(v, rng, negatives)
        h, r, m = digit_targets(chars)
        imgs.append(img), heats.append(h), regs.append(r), masks.append(m)
    return to_tensor(imgs), torch.from_numpy(np.stack(heats))[:, :, None, :], torch.from_numpy(np.stack(regs)), \
        torch.from_numpy(np.stack(masks))[:, None, :]


class Batches(torch.utils.data.IterableDataset):
    """Endless augmented batches; each loader worker has its own generator."""

    def __init__(self, make, seed):
        super().__init__()
        self.make, self.seed = make, seed

    def __iter__(self):
        info = torch.utils.data.get_worker_info()
        rng = np.random.default_rng(self.seed * 7919 + (info.id if info else 0))
        cv2.setNumThreads(1)
        while True:
            yield self.make(rng)


def cpu_seconds(pids):
    """CPU time (user + system) of this process and the given ones."""
    total = time.process_time()
    tick = os.sysconf("SC_CLK_TCK")
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / tick
        except OSError:
            pass
    return total


def train_loop(net, batches, loss_fn, minutes, steps, workers, name, log):
    """Trains for `steps` steps, or with no step count until the CPU budget
    (all threads and loader workers) is spent. A step count makes the run
    repeatable: the same views and seed give the same model."""
    opt = torch.optim.AdamW(net.parameters(), 3e-3, weight_decay=1e-4)
    loader = torch.utils.data.DataLoader(batches, batch_size=None, num_workers=workers,
                                         prefetch_factor=2 if workers else None, persistent_workers=False)
    it = iter(loader)
    pids = [w.pid for w in getattr(it, "_workers", [])]
    start, step, budget = cpu_seconds(pids), 0, minutes * 60
    net.train()
    while True:
        used = cpu_seconds(pids) - start
        progress = step / steps if steps else used / budget
        if progress >= 1:
            break
        for g in opt.param_groups:
            g["lr"] = 3e-3 * (0.5 * (1 + math.cos(math.pi * progress))) + 1e-4
        losses = loss_fn(net, next(it))
        opt.zero_grad()
        sum(losses).backward()
        opt.step()
        step += 1
        if step % 50 == 0:
            log(f"{name} step {step} ({used:.0f} CPU s): " + " ".join(f"{l.item():.4f}" for l in losses))
    used = cpu_seconds(pids) - start
    del it
    log(f"{name}: {step} steps in {used:.0f} CPU s")
    return net.eval(), used, step


def sign_loss(net, batch):
    x, gt, weight, reg, m, idx = batch
    heat, xy, wh = net(x)
    pred = torch.cat([torch.sigmoid(xy), torch.sigmoid(wh)], 1).flatten(2)
    pred = pred[torch.arange(x.shape[0]), :, idx]
    box = (F.l1_loss(pred, reg, reduction="none") * m).sum() / m.sum().clamp(min=1)
    return focal(heat, gt, weight), 5 * box


def digit_loss(net, batch):
    x, gt, reg, m = batch
    cls, box = net(x)
    pred = torch.sigmoid(box)[:, :, 0, :]
    b = (F.l1_loss(pred, reg, reduction="none") * m).sum() / m.sum().clamp(min=1)
    return focal(cls, gt), 2 * b


def train_sign(views, minutes, steps, seed, workers, log):
    return train_loop(SignNet(), Batches(lambda rng: sign_batch(views, rng), seed), sign_loss, minutes, steps,
                      workers, "sign", log)


def train_digit(views, negatives, decoys, minutes, steps, seed, workers, log):
    return train_loop(DigitNet(), Batches(lambda rng: digit_batch(views, negatives, decoys, rng), seed), digit_loss,
                      minutes, steps, workers, "digit", log)


# ---- export and packaging ----


def strip_identities(path):
    """Replaces Identity nodes on weights (the exporter's way of sharing equal
    constants, which OpenCV 4.6 cannot import) by copies of the weights."""
    import onnx
    from onnx import numpy_helper
    model = onnx.load(path)
    inits = {i.name: i for i in model.graph.initializer}
    keep = []
    for node in model.graph.node:
        if node.op_type == "Identity" and node.input[0] in inits:
            copy = numpy_helper.from_array(numpy_helper.to_array(inits[node.input[0]]), node.output[0])
            model.graph.initializer.append(copy)
            inits[copy.name] = copy
        else:
            keep.append(node)
    del model.graph.node[:]
    model.graph.node.extend(keep)
    onnx.checker.check_model(model)
    onnx.save(model, path)


def export(module, w, h, path):
    module.eval()
    dummy = torch.rand(1, 3, h, w)
    torch.onnx.export(module, dummy, path, opset_version=OPSET, input_names=["image"],
                      output_names=["coordinates", "confidence"], do_constant_folding=True)
    strip_identities(path)
    # OpenCV must give what torch gives.
    net = cv2.dnn.readNetFromONNX(path)
    for trial in range(3):
        x = torch.rand(1, 3, h, w) if trial else dummy
        with torch.no_grad():
            ref = [t.numpy() for t in module(x)]
        net.setInput(x.numpy())
        out = net.forward(["coordinates", "confidence"])
        for name, a, b in zip(["coordinates", "confidence"], ref, out):
            if a.shape != b.shape or np.abs(a - b).max() > 1e-3:
                raise SystemExit(f"{path}: OpenCV's {name} differs from torch's ({a.shape} vs {b.shape}, "
                                 f"max diff {np.abs(a.reshape(-1) - b.reshape(-1)).max():.4g})")


def package(out_dir, name, onnx_path, w, h):
    pkg = os.path.join(out_dir, name + ".mlpackage")
    shutil.rmtree(pkg, ignore_errors=True)
    os.makedirs(pkg)
    shutil.copy(onnx_path, os.path.join(pkg, "model.onnx"))
    desc = {
        "formatVersion": 1,
        "model": "model.onnx",
        "inputs": [{"name": "image", "type": "image", "width": w, "height": h, "pixelFormat": PIXEL_FORMAT_32ARGB,
                    "tensor": {"layout": "NCHW", "channels": "RGB", "scale": 1.0 / 255, "bias": [0, 0, 0]}}],
        "outputs": [{"name": "coordinates"}, {"name": "confidence"}],
    }
    with open(os.path.join(pkg, "description.json"), "w") as f:
        json.dump(desc, f, indent=2)
        f.write("\n")
    archive = os.path.join(out_dir, name + ".zip")
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
        for entry in ("description.json", "model.onnx"):
            info = zipfile.ZipInfo(f"{name}.mlpackage/{entry}", date_time=(2026, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            with open(os.path.join(pkg, entry), "rb") as f:
                z.writestr(info, f.read())
    for p in (os.path.join(pkg, "model.onnx"), archive):
        if os.path.getsize(p) > 2 * 1024 * 1024:
            raise SystemExit(f"{p} is over 2 MB")
    return pkg, archive


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--data", nargs="+", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--sign-minutes", type=float, default=3.5, help="CPU minutes (all threads)")
    ap.add_argument("--digit-minutes", type=float, default=1.5, help="CPU minutes (all threads)")
    ap.add_argument("--sign-steps", type=int, default=0, help="training steps instead of a CPU budget")
    ap.add_argument("--digit-steps", type=int, default=0, help="training steps instead of a CPU budget")
    ap.add_argument("--threads", type=int, default=1, help="torch threads (1 is the most CPU-efficient)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--workers", type=int, default=1, help="processes preparing augmented batches")
    ap.add_argument("--only", choices=["sign", "digit"])
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    cv2.setNumThreads(1)
    rng = np.random.default_rng(args.seed)
    random.seed(args.seed)
    os.makedirs(args.out, exist_ok=True)
    views = load_views(args.data)
    signs = [v for v in views if v["sign"] is not None]
    empties = [v for v in views if v["sign"] is None]
    log = lambda m: print(m, flush=True)
    wall = time.time()
    log(f"{len(views)} views: {len(signs)} with a sign, {len(empties)} without")
    report = {}
    tmp = os.path.join(args.out, f".export-{os.getpid()}")
    os.makedirs(tmp, exist_ok=True)
    if args.only in (None, "sign"):
        net, secs, steps = train_sign(views, args.sign_minutes, args.sign_steps, args.seed, args.workers, log)
        onnx_path = os.path.join(tmp, "sign.onnx")
        export(SignExport(net), SIGN_IN, SIGN_IN, onnx_path)
        package(args.out, SIGN_NAME, onnx_path, SIGN_IN, SIGN_IN)
        report["sign_cpu_seconds"], report["sign_steps"] = round(secs), steps
    if args.only in (None, "digit"):
        # Decoys from the sign detector just trained, or the one already in --out.
        sign_onnx = os.path.join(args.out, SIGN_NAME + ".mlpackage", "model.onnx")
        decoys = mine_decoys(sign_onnx, views, log) if os.path.exists(sign_onnx) else []
        net, secs, steps = train_digit(signs, empties, decoys, args.digit_minutes, args.digit_steps, args.seed,
                                       args.workers, log)
        onnx_path = os.path.join(tmp, "digit.onnx")
        export(DigitExport(net), DIGIT_W, DIGIT_H, onnx_path)
        package(args.out, DIGIT_NAME, onnx_path, DIGIT_W, DIGIT_H)
        report["digit_cpu_seconds"], report["digit_steps"] = round(secs), steps
    shutil.rmtree(tmp, ignore_errors=True)
    report["views"] = len(views)
    report["wall_seconds"] = round(time.time() - wall)
    log(json.dumps(report))


if __name__ == "__main__":
    main()
