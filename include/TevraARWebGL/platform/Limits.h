/// @file
/// Every bound the library puts on what it is handed from outside: answers of
/// VPS servers, model downloads, ZIP archives, model files and page messages.
/// Each of these comes from somewhere the host does not control (a page names
/// the servers and the archives), so each is capped in size, time or memory,
/// and going past a cap ends that one operation with one clear log line; it
/// never ends the process.
///
/// The defaults below are the documented ones (README.md, "Security"). A host
/// changes them by setting the fields of LinuxPlatformOptions::limits before it
/// installs the platform; the installed copy is Platform::limits. The Linux
/// services take their own bounds from it when they are built; the library
/// reads the rest from the installed platform.
///
/// Threads: set before install; read-only afterwards (any thread).
#pragma once

#include <cstdint>

namespace tevra {

/// The bounds on what the library is handed from outside.
struct Limits {
    /// One mebibyte.
    static constexpr uint64_t kMiB = 1024ull * 1024ull;

    // ---- HTTP (VPS requests and model downloads) ----
    /// A VPS answer, counted after content decoding (gzip, br, zstd).
    uint64_t vpsAnswerMaxBytes = 16 * kMiB;
    /// A model download, counted after content decoding, as it is streamed to
    /// disk; the partial file is removed once it is passed.
    uint64_t downloadMaxBytes = 512 * kMiB;
    /// A request fails when no byte moved for this long (also while connecting).
    long idleTimeoutSeconds = 60;
    ///@{
    /// A trickle ends too: from the answer's first byte on, each successive
    /// window of lowSpeedWindowSeconds must bring lowSpeedBytesPerSecond on
    /// average (headers included), or the request fails.
    uint64_t lowSpeedBytesPerSecond = 1024;
    long lowSpeedWindowSeconds = 30;
    ///@}

    // ---- ZIP archives (model downloads) ----
    /// Entries of one archive.
    uint64_t archiveMaxEntries = 10000;
    /// Unpacked bytes, counted from the archive's directory and again from the
    /// bytes actually written.
    uint64_t archiveMaxTotalBytes = 512 * kMiB;
    /// Directories created, including those that file paths imply.
    uint64_t archiveMaxDirectories = 1000;
    /// Path components of one entry (a/b/c.txt has 3).
    uint64_t archiveMaxDepth = 32;

    // ---- Model files ----
    ///@{
    /// Declared inputs of one model, and the elements of all its input
    /// tensors together (an image input of W x H counts W * H * 3).
    uint64_t modelMaxInputs = 8;
    uint64_t modelMaxInputElements = 16ull * 1024 * 1024;
    ///@}
    /// Declared outputs of one model (the detection models have 2).
    uint64_t modelMaxOutputs = 16;
    ///@{
    /// A model's description.json, and its model file, as read into memory.
    uint64_t modelDescriptionMaxBytes = 1 * kMiB;
    uint64_t modelFileMaxBytes = 512 * kMiB;
    ///@}
    ///@{
    /// The child process that opens model bytes for the first time: its
    /// address space, CPU time and wall-clock time.
    uint64_t modelCheckAddressSpaceBytes = 2048 * kMiB;
    long modelCheckCpuSeconds = 30;
    long modelCheckWallSeconds = 60;
    ///@}

    // ---- Page messages ----
    /// What is converted from one message body: each string counts its
    /// bytes, every other value (and each array slot, holes included) 8.
    uint64_t pageMessageMaxBytes = 4 * kMiB;
    /// Nesting of arrays and objects in one message body.
    int pageMessageMaxDepth = 64;
    /// Messages from a subframe whose origin differs from the main frame's
    /// are refused unless this is set.
    bool allowCrossOriginFrameMessages = false;

    // ---- Log lines ----
    /// Text from outside (answers, page calls) is cut to this many bytes in a
    /// log line, with the full length said.
    uint64_t logTextMaxBytes = 4096;
};

}  // namespace tevra
