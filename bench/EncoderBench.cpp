// encoder_bench: throughput of the frame encoder, against libjpeg-turbo where
// it is available (native tree), on the frames in testdata/frames and on
// generated ones. Runs on the calling thread only; a benchmark, not a test.
//
//   encoder_bench [--kernels best|scalar|sse2|avx2|all] [--runs N] [--frames DIR]
//                 [--raw-dir DIR] [--save-raw DIR] [--only NAME] [--stat median|min]
//
// Then, per frame, a small change (a typed word and a moved pointer) after
// the full frame through one encoder that keeps the frame before, as a share
// of a full frame's time. Each ratio is printed with its goal for the build's
// word size.
//
// Our encoder's full-frame figure is the mean of a run of frames that each
// change every strip (the frame alternating with a copy that differs only
// in the fourth byte of every pixel): the steady state of complete changes.
// libjpeg-turbo gets the frame and the copy in turn as well.
//
// Each figure is the median (or with --stat min, the fastest, which a busy
// machine disturbs least) of N timed runs after two warm-up runs; the runs
// of all encoders on one frame are interleaved so that they share whatever
// load the machine has. The libjpeg-turbo reference is tjCompress2 (BGRX, 4:4:4, quality 90,
// standard Huffman tables), timed with the fast and the accurate integer DCT; the faster of the two
// is the reference for the ratio. --save-raw writes the loaded frames as raw BGRX files
// (NAME.WxH.bgrx) that --raw-dir reads back, so the 32-bit build, which has no PNG reader, runs on
// the same pictures.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "CustomJpeg.h"

#ifdef SKY_BENCH_TURBOJPEG
#include <turbojpeg.h>
#endif
#ifdef SKY_BENCH_PNG
#include "PngImage.h"
#endif

namespace {

struct Frame {
  std::string name;
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // BGRX, pitch 4 * width
  int Pitch() const { return 4 * width; }
  double Megapixels() const { return static_cast<double>(width) * height / 1e6; }
};

struct Options {
  std::string kernels = "best";
  int runs = 21;
  std::string framesDir;
  std::string rawDir;
  std::string saveRawDir;
  std::string only;
  bool minimum = false;  // report the fastest run instead of the median
};

using Clock = std::chrono::steady_clock;

// Times several encoders on one frame with their runs interleaved (one run
// of each in turn), so that a change in the load of a shared machine hits
// all of them alike; then takes the median of each. Two warm-up rounds first.
std::vector<double> MedianMsInterleaved(int runs, const std::vector<std::function<void()>>& fns, bool minimum) {
  for (int w = 0; w < 2; ++w)
    for (const auto& fn : fns) fn();
  std::vector<std::vector<double>> ms(fns.size());
  for (int i = 0; i < runs; ++i) {
    for (size_t j = 0; j < fns.size(); ++j) {
      const auto start = Clock::now();
      fns[j]();
      ms[j].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
  }
  std::vector<double> medians;
  for (auto& m : ms) {
    std::sort(m.begin(), m.end());
    medians.push_back(minimum ? m.front() : m[m.size() / 2]);
  }
  return medians;
}

Frame Blank(const std::string& name, int width, int height) {
  Frame f;
  f.name = name;
  f.width = width;
  f.height = height;
  f.pixels.assign(static_cast<size_t>(width) * height * 4, 0xFF);
  return f;
}

void Put(Frame& f, int x, int y, int r, int g, int b) {
  uint8_t* p = &f.pixels[(static_cast<size_t>(y) * f.width + x) * 4];
  p[0] = static_cast<uint8_t>(b);
  p[1] = static_cast<uint8_t>(g);
  p[2] = static_cast<uint8_t>(r);
}

Frame Flat(int width, int height) {
  Frame f = Blank("flat", width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) Put(f, x, y, 40, 90, 160);
  return f;
}

Frame Gradient(const std::string& name, int width, int height) {
  Frame f = Blank(name, width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      Put(f, x, y, x * 255 / (width - 1), y * 255 / (height - 1), (x + y) * 127 / (width + height));
  return f;
}

Frame Noise(int width, int height) {
  Frame f = Blank("noise", width, height);
  std::mt19937 rng(7);
  for (auto& byte : f.pixels) byte = static_cast<uint8_t>(rng());
  return f;
}

bool ReadRaw(const std::filesystem::path& path, Frame& f) {
  // NAME.WxH.bgrx
  const std::string stem = path.stem().string();
  const size_t dot = stem.rfind('.');
  if (dot == std::string::npos) return false;
  int w = 0, h = 0;
  if (std::sscanf(stem.c_str() + dot + 1, "%dx%d", &w, &h) != 2 || w <= 0 || h <= 0) return false;
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() != static_cast<size_t>(w) * h * 4) return false;
  f.name = stem.substr(0, dot);
  f.width = w;
  f.height = h;
  f.pixels = std::move(bytes);
  return true;
}

void SaveRaw(const std::string& dir, const Frame& f) {
  const std::string path =
      dir + "/" + f.name + "." + std::to_string(f.width) + "x" + std::to_string(f.height) + ".bgrx";
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(f.pixels.data()), static_cast<std::streamsize>(f.pixels.size()));
}

std::vector<Frame> LoadFrames(const Options& o) {
  std::vector<Frame> frames;
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  const std::string& dir = !o.rawDir.empty() ? o.rawDir : o.framesDir;
  if (!dir.empty()) {
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) files.push_back(e.path());
    std::sort(files.begin(), files.end());
  }
  for (const auto& path : files) {
    Frame f;
    if (path.extension() == ".bgrx") {
      if (!o.rawDir.empty() && ReadRaw(path, f)) frames.push_back(std::move(f));
      continue;
    }
#ifdef SKY_BENCH_PNG
    if (path.extension() == ".png") {
      streamtool::BgrxImage image;
      std::string error;
      if (!streamtool::ReadPng(path.string(), image, error)) {
        std::fprintf(stderr, "skipping %s\n", error.c_str());
        continue;
      }
      f.name = path.stem().string();
      f.width = image.width;
      f.height = image.height;
      f.pixels = std::move(image.pixels);
      frames.push_back(std::move(f));
    }
#endif
  }
  if (frames.empty() && !dir.empty()) std::fprintf(stderr, "no frames read from %s\n", dir.c_str());
  // Generated frames, unless raw copies of them were read already.
  auto add = [&frames](Frame f) {
    for (const Frame& g : frames)
      if (g.name == f.name) return;
    frames.push_back(std::move(f));
  };
  add(Flat(1920, 1080));
  add(Gradient("gradient", 1920, 1080));
  add(Noise(1920, 1080));
  add(Gradient("gradient_4k", 3840, 2160));
  return frames;
}

// A typed word and a moved pointer: a copy of `f` with three rectangles
// inverted (192 x 20 pixels of text, the pointer's 32 x 32 at its old and its
// new place), about 0.3 % of a 1920 x 1080 frame's pixels.
Frame SmallChange(const Frame& f) {
  Frame c = f;
  c.name = f.name + " +word+pointer";
  auto invert = [&c](int x0, int y0, int w, int h) {
    for (int y = std::max(0, y0); y < std::min(c.height, y0 + h); ++y)
      for (int x = std::max(0, x0); x < std::min(c.width, x0 + w); ++x)
        for (int k = 0; k < 3; ++k) c.pixels[(static_cast<size_t>(y) * c.width + x) * 4 + k] ^= 0xFF;
  };
  invert(c.width / 4, c.height / 3, 192, 20);
  invert(c.width / 2, c.height / 2, 32, 32);
  invert(c.width / 2 + 40, c.height / 2 + 24, 32, 32);
  return c;
}

double ChangedPercent(const Frame& a, const Frame& b) {
  size_t changed = 0;
  for (size_t i = 0; i < a.pixels.size(); i += 4) changed += std::memcmp(&a.pixels[i], &b.pixels[i], 4) != 0;
  return 100.0 * changed / (a.pixels.size() / 4);
}

constexpr int kWordBits = static_cast<int>(sizeof(void*) * 8);

#ifdef SKY_BENCH_TURBOJPEG
// Speed goal against libjpeg-turbo of the same word size, by kind of frame;
// 0 where there is none.
double TurboGoal(const std::string& name) {
  if (name.rfind("desktop", 0) == 0 || name.rfind("laptop", 0) == 0) return 2.0;
  if (name.rfind("photo", 0) == 0) return kWordBits == 32 ? 1.6 : 1.8;
  if (name.rfind("noise", 0) == 0) return 1.0;
  return 0;
}
#endif

// Time of a frame with a small change, after the full frame, through one
// encoder, as a share of a full frame's time.
constexpr double kSmallChangeGoal = kWordBits == 32 ? 1.0 / 3 : 1.0 / 2;

void PrintGoal(const char* relation, double goal, bool met) {
  if (goal > 0) std::printf(" %s%.2f %s", relation, goal, met ? "met" : "MISSED");
}

// For each frame and kernel set: a full frame (nothing kept) and the small
// change of it through an encoder that keeps the frame before, interleaved;
// the small-change encoder alternates between the frame and its change, so
// that every timed run is a small change after the other.
void RunSmallChange(const Options& o, const std::vector<Frame>& frames, const std::vector<jpeg::KernelSet>& sets) {
  std::printf("\nsmall change after a full frame, one encoder (goal: ratio <= %.2f)\n", kSmallChangeGoal);
  std::printf("%-28s %-7s %9s %9s %8s %7s | %6s\n", "frame", "kernels", "full ms", "change ms", "changed%", "reused",
              "ratio");
  for (const Frame& f : frames) {
    if (!o.only.empty() && f.name.find(o.only) == std::string::npos) continue;
    const Frame changed = SmallChange(f);
    char label[64];
    std::snprintf(label, sizeof label, "%s %dx%d", f.name.c_str(), f.width, f.height);
    for (jpeg::KernelSet s : sets) {
      jpeg::CustomJpeg full, reuse;
      if (!full.SetKernelSet(s) || !reuse.SetKernelSet(s) || !full.Init(f.width, f.height) ||
          !reuse.Init(f.width, f.height))
        continue;
      std::vector<uint8_t> outFull(full.MaxEncodedSize()), outReuse(reuse.MaxEncodedSize());
      int turn = 0;
      uint32_t fullBytes = 0;
      const std::vector<double> ms =
          MedianMsInterleaved(o.runs,
                              {[&] {
                                 full.ForgetPreviousFrame();
                                 fullBytes = full.Encode(changed.pixels.data(), changed.Pitch(), outFull.data());
                               },
                               [&] {
                                 const Frame& next = (turn++ % 2 == 0) ? changed : f;
                                 reuse.Encode(next.pixels.data(), next.Pitch(), outReuse.data());
                               }},
                              o.minimum);
      // The kept frame must not change the bytes: the change after the frame
      // is the full encoder's stream.
      if (turn % 2 == 1) reuse.Encode(f.pixels.data(), f.Pitch(), outReuse.data());
      const uint32_t changedBytes = reuse.Encode(changed.pixels.data(), changed.Pitch(), outReuse.data());
      const bool same = changedBytes == fullBytes && std::memcmp(outReuse.data(), outFull.data(), fullBytes) == 0;
      const double ratio = ms[1] / ms[0];
      std::printf("%-28s %-7s %9.3f %9.3f %8.2f %7s | %6.3f", label, jpeg::KernelsFor(s).name, ms[0], ms[1],
                  ChangedPercent(f, changed), reuse.CanReusePreviousFrame() ? "yes" : "no", ratio);
      PrintGoal("<=", kSmallChangeGoal, ratio <= kSmallChangeGoal);
      if (!same) std::printf("  BYTES DIFFER (%u vs %u)", changedBytes, fullBytes);
      std::printf("\n");
      std::fflush(stdout);
    }
  }
}

// One encoder under test: its encode call and the bytes of its last run.
struct Contender {
  std::string label;
  std::function<void()> run;
  size_t bytes = 0;
};

// Our encoder with one kernel set; owns its encoder and output buffer.
struct OursState {
  jpeg::CustomJpeg encoder;
  std::vector<uint8_t> out;
  std::vector<std::vector<double>> frameMs;  // per frame of a run, its times in every run
};

// Frames in one timed run of our encoder under complete changes; the first
// follows the previous run's last, so every frame is in the steady state
// (each strip changed in the frame before, and keeps its probe only).
constexpr int kCompleteChangeRun = 8;

// The frame with every pixel's fourth byte, which the encoder ignores,
// changed: every strip differs from the frame's, the code is the same.
Frame FourthByteTwin(const Frame& f) {
  Frame twin = f;
  for (size_t i = 3; i < twin.pixels.size(); i += 4) twin.pixels[i] ^= 0x5A;
  return twin;
}

#ifdef SKY_BENCH_TURBOJPEG
struct TurboState {
  tjhandle handle = nullptr;
  std::vector<unsigned char> out;
  int turn = 0;  // alternates between the frame and its twin, as ours does
  ~TurboState() {
    if (handle != nullptr) tjDestroy(handle);
  }
};
#endif

std::vector<jpeg::KernelSet> SetsToRun(const std::string& which) {
  using jpeg::KernelSet;
  const KernelSet all[] = {KernelSet::Scalar, KernelSet::Sse2, KernelSet::Avx2};
  std::vector<KernelSet> sets;
  if (which == "best") {
    sets.push_back(jpeg::ActiveKernels().set);
  } else {
    for (KernelSet s : all)
      if ((which == "all" || which == jpeg::KernelsFor(s).name) && jpeg::IsKernelSetSupported(s)) sets.push_back(s);
  }
  return sets;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
#ifdef SKY_TEST_FRAMES_DIR
  o.framesDir = SKY_TEST_FRAMES_DIR;
#endif
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i], value = argv[i + 1];
    if (key == "--kernels")
      o.kernels = value;
    else if (key == "--runs")
      o.runs = std::max(1, std::atoi(value.c_str()));
    else if (key == "--frames")
      o.framesDir = value;
    else if (key == "--raw-dir")
      o.rawDir = value;
    else if (key == "--save-raw")
      o.saveRawDir = value;
    else if (key == "--only")
      o.only = value;
    else if (key == "--stat" && (value == "median" || value == "min"))
      o.minimum = value == "min";
    else {
      std::fprintf(stderr, "unknown option %s\n", key.c_str());
      return 2;
    }
  }
  if (argc % 2 == 0) {
    std::fprintf(stderr,
                 "usage: encoder_bench [--kernels best|scalar|sse2|avx2|all] [--runs N] "
                 "[--frames DIR] [--raw-dir DIR] [--save-raw DIR] [--only NAME] "
                 "[--stat median|min]\n");
    return 2;
  }
  const std::vector<jpeg::KernelSet> sets = SetsToRun(o.kernels);
  if (sets.empty()) {
    std::fprintf(stderr, "kernel set '%s' is unknown or not supported here\n", o.kernels.c_str());
    return 2;
  }

  std::printf("encoder_bench: %d-bit build, %s of %d runs; best kernel set here: %s\n",
              static_cast<int>(sizeof(void*) * 8), o.minimum ? "fastest" : "median", o.runs,
              jpeg::ActiveKernels().name);
  for (jpeg::KernelSet s : sets) {
    const jpeg::EncoderKernels& k = jpeg::KernelsFor(s);
    std::printf("kernels %-6s: %s\n", k.name, jpeg::DescribeStages(k).c_str());
  }

  std::vector<Frame> frames = LoadFrames(o);
  if (!o.saveRawDir.empty()) {
    for (const Frame& f : frames) SaveRaw(o.saveRawDir, f);
    std::printf("saved %zu frames to %s\n", frames.size(), o.saveRawDir.c_str());
  }

#ifdef SKY_BENCH_TURBOJPEG
  std::printf("\n%-28s %-7s %9s %8s %9s | %9s %9s %9s %8s | %6s %s\n", "frame", "kernels", "ms", "MP/s", "bytes",
              "tj fast", "tj accur", "tj bytes", "tj MP/s", "ratio", "goal");
#else
  std::printf("\n%-28s %-7s %9s %8s %9s\n", "frame", "kernels", "ms", "MP/s", "bytes");
#endif
  for (const Frame& f : frames) {
    if (!o.only.empty() && f.name.find(o.only) == std::string::npos) continue;
    char label[64];
    std::snprintf(label, sizeof label, "%s %dx%d", f.name.c_str(), f.width, f.height);

    const Frame twin = FourthByteTwin(f);
    std::vector<std::unique_ptr<OursState>> ours;
    std::vector<Contender> contenders;
    contenders.reserve(sets.size() + 2);  // the run functions keep pointers into it
    for (jpeg::KernelSet s : sets) {
      auto state = std::make_unique<OursState>();
      state->encoder.SetKernelSet(s);
      if (!state->encoder.Init(f.width, f.height)) continue;
      state->out.resize(state->encoder.MaxEncodedSize());
      contenders.push_back({jpeg::KernelsFor(s).name, nullptr, 0});
      ours.push_back(std::move(state));
    }
    for (size_t i = 0; i < ours.size(); ++i) {
      OursState* st = ours[i].get();
      size_t* bytes = &contenders[i].bytes;
      contenders[i].run = [st, bytes, &f, &twin] {
        // Frames that change completely, one after the other.
        st->frameMs.resize(kCompleteChangeRun);
        for (int k = 0; k < kCompleteChangeRun; ++k) {
          const Frame& next = k % 2 == 0 ? twin : f;
          const auto start = Clock::now();
          *bytes = st->encoder.Encode(next.pixels.data(), next.Pitch(), st->out.data());
          st->frameMs[k].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
      };
    }
#ifdef SKY_BENCH_TURBOJPEG
    // libjpeg-turbo with the fast and with the accurate integer DCT.
    TurboState turbo[2];
    const int flags[2] = {TJFLAG_FASTDCT, TJFLAG_ACCURATEDCT};
    const size_t firstTurbo = contenders.size();
    for (int t = 0; t < 2; ++t) {
      turbo[t].handle = tjInitCompress();
      turbo[t].out.resize(tjBufSize(f.width, f.height, TJSAMP_444));
      contenders.push_back({t == 0 ? "tj fast" : "tj accurate", nullptr, 0});
    }
    for (int t = 0; t < 2; ++t) {
      TurboState* st = &turbo[t];
      size_t* bytes = &contenders[firstTurbo + t].bytes;
      const int flag = flags[t];
      contenders[firstTurbo + t].run = [st, bytes, flag, &f, &twin] {
        const Frame& next = st->turn++ % 2 == 0 ? twin : f;
        unsigned char* buffer = st->out.data();
        unsigned long size = st->out.size();
        if (st->handle == nullptr ||
            tjCompress2(st->handle, next.pixels.data(), f.width, f.Pitch(), f.height, TJPF_BGRX, &buffer, &size,
                        TJSAMP_444, 90, flag | TJFLAG_NOREALLOC) != 0) {
          size = 0;
        }
        *bytes = size;
      };
    }
#endif
    std::vector<std::function<void()>> fns;
    for (const Contender& c : contenders) fns.push_back(c.run);
    std::vector<double> ms = MedianMsInterleaved(o.runs, fns, o.minimum);
    // Each frame of the run on its own (as each libjpeg-turbo frame is), then
    // their mean; the warm-up runs left out.
    for (size_t i = 0; i < ours.size(); ++i) {
      double sum = 0;
      for (std::vector<double>& times : ours[i]->frameMs) {
        times.erase(times.begin(), times.begin() + 2);
        std::sort(times.begin(), times.end());
        sum += o.minimum ? times.front() : times[times.size() / 2];
      }
      ms[i] = sum / kCompleteChangeRun;
    }

    for (size_t i = 0; i < ours.size(); ++i) {
      std::printf("%-28s %-7s %9.3f %8.1f %9zu", label, contenders[i].label.c_str(), ms[i],
                  f.Megapixels() / (ms[i] / 1000), contenders[i].bytes);
#ifdef SKY_BENCH_TURBOJPEG
      const double fast = ms[firstTurbo], accurate = ms[firstTurbo + 1];
      const double turboMs = std::min(fast, accurate);
      std::printf(" | %9.3f %9.3f %9zu %8.1f | %6.2f", fast, accurate, contenders[firstTurbo].bytes,
                  f.Megapixels() / (turboMs / 1000), turboMs / ms[i]);
      PrintGoal(">=", TurboGoal(f.name), turboMs / ms[i] >= TurboGoal(f.name));
#endif
      std::printf("\n");
      std::fflush(stdout);
    }
  }
  RunSmallChange(o, frames, sets);
  return 0;
}
