// streamtool: the independent check of the device's frame stream.
//
//   streamtool encode  FRAME --out STREAM --payload PAYLOAD [--kernels scalar|sse2|avx2]
//   streamtool check   STREAM --size WxH --payload PAYLOAD [--decode OUT.png] [--source FRAME]
//   streamtool roundtrip FRAME [--out-dir DIR]
//
// FRAME is a PNG, or raw BGRX with --size WxH [--pitch BYTES]. `check` walks
// every strip (header bits, sequence, last-strip bit, 0xFF 0xD9, filler, end
// padding), decodes each strip with libjpeg-turbo, and prints PSNR against
// the source. A STREAM file may hold several frames back to back; each is
// checked and the last one decoded. Faults are reported with the strip and
// byte offset; the exit code is 0 only when everything checked out.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "CustomJpeg.h"
#include "FrameStream.h"
#include "PngImage.h"
#include "QuantTablePayload.h"
#include "StreamDecoder.h"

namespace {

using streamtool::BgrxImage;

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  std::string Get(const std::string& key, const std::string& fallback = "") const {
    auto it = options.find(key);
    return it == options.end() ? fallback : it->second;
  }
};

Args Parse(int argc, char** argv) {
  Args a;
  for (int i = 2; i < argc; ++i) {
    std::string s = argv[i];
    if (s.rfind("--", 0) == 0 && i + 1 < argc) {
      a.options[s.substr(2)] = argv[++i];
    } else {
      a.positional.push_back(s);
    }
  }
  return a;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

bool ParseSize(const std::string& text, int& width, int& height) {
  return std::sscanf(text.c_str(), "%dx%d", &width, &height) == 2 && width > 0 && height > 0;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "streamtool: %s\n", message.c_str());
  return 1;
}

// A PNG, or raw BGRX of --size (and --pitch) packed to 4 * width.
bool LoadFrame(const std::string& path, const Args& args, BgrxImage& image, std::string& error) {
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".png") == 0) {
    return streamtool::ReadPng(path, image, error);
  }
  int width = 0, height = 0;
  if (!ParseSize(args.Get("size"), width, height)) {
    error = "raw frame " + path + " needs --size WxH";
    return false;
  }
  const long pitch = std::stol(args.Get("pitch", std::to_string(4L * width)));
  std::vector<uint8_t> raw;
  if (!ReadFile(path, raw)) {
    error = "cannot read " + path;
    return false;
  }
  if (pitch < 4L * width || raw.size() < static_cast<size_t>(pitch) * height) {
    error = path + ": " + std::to_string(raw.size()) + " bytes do not hold " + std::to_string(height) +
            " rows of pitch " + std::to_string(pitch);
    return false;
  }
  image.width = width;
  image.height = height;
  image.pixels.resize(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y)
    std::memcpy(&image.pixels[static_cast<size_t>(y) * width * 4], &raw[static_cast<size_t>(y) * pitch],
                static_cast<size_t>(width) * 4);
  return true;
}

struct Encoded {
  std::vector<uint8_t> stream;
  jpeg::QuantTablePayload payload;
  double milliseconds = 0;
  const char* kernels = "";
};

bool EncodeImage(const BgrxImage& image, const std::string& kernels, Encoded& result, std::string& error) {
  jpeg::CustomJpeg encoder;
  if (!kernels.empty()) {
    const std::map<std::string, jpeg::KernelSet> sets = {
        {"scalar", jpeg::KernelSet::Scalar}, {"sse2", jpeg::KernelSet::Sse2}, {"avx2", jpeg::KernelSet::Avx2}};
    const auto it = sets.find(kernels);
    if (it == sets.end() || !encoder.SetKernelSet(it->second)) {
      error = "kernel set " + kernels + " is unknown or not supported by this processor";
      return false;
    }
  }
  if (!encoder.Init(image.width, image.height)) {
    error = "the encoder refuses a " + std::to_string(image.width) + "x" + std::to_string(image.height) + " frame";
    return false;
  }
  result.kernels = jpeg::KernelsFor(encoder.GetKernelSet()).name;
  result.stream.resize(encoder.MaxEncodedSize());
  const auto start = std::chrono::steady_clock::now();
  const uint32_t n = encoder.Encode(image.pixels.data(), image.Pitch(), result.stream.data());
  result.milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  result.stream.resize(n);
  result.payload = jpeg::BuildQuantTablePayload(encoder);
  return n != 0;
}

int Encode(const Args& args) {
  if (args.positional.size() != 1 || args.Get("out").empty() || args.Get("payload").empty())
    return Fail("usage: streamtool encode FRAME --out STREAM --payload PAYLOAD");
  BgrxImage image;
  std::string error;
  if (!LoadFrame(args.positional[0], args, image, error)) return Fail(error);
  Encoded e;
  if (!EncodeImage(image, args.Get("kernels"), e, error)) return Fail(error);
  if (!WriteFile(args.Get("out"), e.stream.data(), e.stream.size()) ||
      !WriteFile(args.Get("payload"), e.payload.data(), e.payload.size()))
    return Fail("cannot write the output files");
  std::printf("encoded %dx%d into %zu bytes (%s kernels, %.2f ms)\n", image.width, image.height, e.stream.size(),
              e.kernels, e.milliseconds);
  return 0;
}

int Check(const Args& args) {
  int width = 0, height = 0;
  if (args.positional.size() != 1 || !ParseSize(args.Get("size"), width, height) || args.Get("payload").empty())
    return Fail(
        "usage: streamtool check STREAM --size WxH --payload PAYLOAD [--decode OUT.png] "
        "[--source FRAME]");
  std::vector<uint8_t> stream, payload;
  if (!ReadFile(args.positional[0], stream)) return Fail("cannot read " + args.positional[0]);
  if (!ReadFile(args.Get("payload"), payload)) return Fail("cannot read " + args.Get("payload"));

  const size_t strips = framestream::ExpectedStrips(width, height);
  size_t at = 0, frames = 0;
  streamtool::DecodeResult last;
  while (at < stream.size()) {
    const size_t length = framestream::MeasureFrame(&stream[at], stream.size() - at, strips);
    const size_t size = length != 0 ? length : stream.size() - at;
    streamtool::DecodeResult r =
        streamtool::DecodeStream(&stream[at], size, width, height, payload.data(), payload.size());
    if (!r.ok) return Fail("frame " + std::to_string(frames) + " at byte " + std::to_string(at) + ": " + r.error);
    ++frames;
    at += size;
    last = std::move(r);
  }
  if (frames == 0) return Fail("no frame in " + args.positional[0]);
  std::printf("%zu frame(s) of %dx%d valid: %zu strips each, last frame %zu bytes\n", frames, width, height,
              last.check.strips.size(),
              last.check.strips.empty() ? size_t{0}
                                        : last.check.strips.back().headerOffset + 4 +
                                              last.check.strips.back().paddedLength + 4 * last.check.paddingWords);
  std::string error;
  if (!args.Get("decode").empty()) {
    if (!streamtool::WritePng(args.Get("decode"), last.image, error)) return Fail(error);
    std::printf("decoded picture: %s\n", args.Get("decode").c_str());
  }
  if (!args.Get("source").empty()) {
    BgrxImage source;
    if (!LoadFrame(args.Get("source"), args, source, error)) return Fail(error);
    std::printf("PSNR against %s: %.2f dB\n", args.Get("source").c_str(), streamtool::Psnr(source, last.image));
  }
  return 0;
}

int RoundTrip(const Args& args) {
  if (args.positional.size() != 1) return Fail("usage: streamtool roundtrip FRAME [--out-dir DIR]");
  BgrxImage image;
  std::string error;
  if (!LoadFrame(args.positional[0], args, image, error)) return Fail(error);
  Encoded e;
  if (!EncodeImage(image, args.Get("kernels"), e, error)) return Fail(error);
  const streamtool::DecodeResult r = streamtool::DecodeStream(e.stream.data(), e.stream.size(), image.width,
                                                              image.height, e.payload.data(), e.payload.size());
  if (!r.ok) return Fail(r.error);
  const double raw = static_cast<double>(image.width) * image.height * 4;
  std::printf(
      "%s: %dx%d, %zu strips, %zu bytes (%.2f bits/pixel, %.1f:1 against BGRX), "
      "encoded in %.2f ms with %s kernels, PSNR %.2f dB\n",
      args.positional[0].c_str(), image.width, image.height, r.check.strips.size(), e.stream.size(),
      8.0 * e.stream.size() / (raw / 4), raw / e.stream.size(), e.milliseconds, e.kernels,
      streamtool::Psnr(image, r.image));
  const std::string dir = args.Get("out-dir");
  if (!dir.empty()) {
    std::string base = args.positional[0];
    base = base.substr(base.find_last_of('/') + 1);
    base = base.substr(0, base.find_last_of('.'));
    const std::string png = dir + "/" + base + ".decoded.png";
    if (!WriteFile(dir + "/" + base + ".stream", e.stream.data(), e.stream.size()) ||
        !WriteFile(dir + "/" + base + ".payload", e.payload.data(), e.payload.size()) ||
        !streamtool::WritePng(png, r.image, error))
      return Fail("cannot write into " + dir + (error.empty() ? "" : ": " + error));
    std::printf("  decoded picture: %s\n", png.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  const Args args = Parse(argc, argv);
  if (command == "encode") return Encode(args);
  if (command == "check") return Check(args);
  if (command == "roundtrip") return RoundTrip(args);
  std::fprintf(stderr,
               "usage:\n"
               "  streamtool encode FRAME --out STREAM --payload PAYLOAD [--kernels scalar|sse2|avx2]\n"
               "  streamtool check STREAM --size WxH --payload PAYLOAD [--decode OUT.png] "
               "[--source FRAME]\n"
               "  streamtool roundtrip FRAME [--out-dir DIR]\n"
               "FRAME: a PNG, or raw BGRX with --size WxH [--pitch BYTES]\n");
  return 2;
}
