// make-sample-photos: writes a phone-like camera folder of real JPEG photos for the demo, the
// tests and the benchmarks.
//
//   make-sample-photos <folder>
//   make-sample-photos <folder> --count N [--days D] [--size WxH] [--large K:WxH] [--jobs J]
//
// Without options: ten photos, each with its own picture (colour field, rings, grain from its
// own seed), so no two files are alike, and its own last-write time, which the phone simulator
// sends as the file's time stamp. A few sit in a subfolder, and one is large enough to travel in
// many chunks. Prints one line per file.
//
// With --count: N photos of WxH (640x480 unless given) in <folder>/Camera, spread over D days (1
// unless given) ending on 30 June 2024, taken between 01:00 and 09:00 UTC (the same date in UTC
// and in China's time); the newest K are WxH of --large instead. Drawn quickly (gradients and
// grain), on J threads. Prints one summary line.

#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

namespace {

struct PhotoSpec {
  const char* relativePath;
  int width;
  int height;
  int quality;
  int grain;  // 0..255: noise amplitude, which mostly decides the file size
};

constexpr PhotoSpec kPhotos[] = {
    {"IMG_20240301_101500.jpg", 1024, 768, 88, 24},
    {"IMG_20240302_103712.jpg", 800, 600, 88, 20},
    {"IMG_20240304_184455.jpg", 1280, 960, 88, 24},
    {"IMG_20240307_071203.jpg", 640, 480, 85, 16},
    {"IMG_20240311_122930.jpg", 1024, 1024, 88, 20},
    {"IMG_20240316_200148.jpg", 2000, 1500, 90, 40},  // the large one: well over a chunk
    {"Trip/IMG_20240322_093317.jpg", 960, 720, 88, 24},
    {"Trip/IMG_20240322_094102.jpg", 960, 720, 88, 24},
    {"Trip/IMG_20240323_161825.jpg", 720, 960, 88, 16},
    {"Screenshots/Screenshot_20240401_121500.jpg", 540, 960, 80, 4},
};

// Small deterministic generator, so every run draws the same pictures.
struct Random {
  uint64_t state;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<uint32_t>(state);
  }
};

uint8_t Clamp(int value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value); }

// A baseline RGB JPEG of `width` x `height` whose rows `fill` draws, top to bottom.
bool WriteRgbJpeg(const std::filesystem::path& path, int width, int height, int quality,
                  const std::function<void(int y, uint8_t* pRow)>& fill) {
  FILE* pFile = std::fopen(path.c_str(), "wb");
  if (!pFile) return false;
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, pFile);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
  while (info.next_scanline < info.image_height) {
    fill(static_cast<int>(info.next_scanline), row.data());
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return std::fclose(pFile) == 0;
}

bool WriteJpeg(const std::filesystem::path& path, const PhotoSpec& spec, int index) {
  Random random{0x9E3779B97F4A7C15ull * static_cast<uint64_t>(index + 1)};
  const double hue = index * 0.61803398875 * 2 * M_PI;
  const double centreX = spec.width * (0.3 + 0.05 * (index % 5));
  const double centreY = spec.height * (0.4 + 0.03 * index);
  return WriteRgbJpeg(path, spec.width, spec.height, spec.quality, [&](int y, uint8_t* row) {
    for (int x = 0; x < spec.width; ++x) {
      double fx = static_cast<double>(x) / spec.width;
      double fy = static_cast<double>(y) / spec.height;
      double ring = std::sin(std::hypot(x - centreX, y - centreY) / (12.0 + index * 3));
      int noise =
          spec.grain ? static_cast<int>(random.Next() % (2 * spec.grain + 1)) - spec.grain : 0;
      int r = static_cast<int>(128 + 100 * std::sin(hue + fx * 3) + 30 * ring) + noise;
      int g = static_cast<int>(128 + 100 * std::sin(hue + 2.1 + fy * 3) + 30 * ring) + noise;
      int b = static_cast<int>(128 + 100 * std::sin(hue + 4.2 + (fx + fy) * 2) - 30 * ring) + noise;
      row[x * 3] = Clamp(r);
      row[x * 3 + 1] = Clamp(g);
      row[x * 3 + 2] = Clamp(b);
    }
  });
}

// The capture time the file name tells, in UTC, used as the file's last-write time.
bool TimeFromName(const std::string& name, timespec* pTime) {
  size_t at = name.find("20");
  if (at == std::string::npos) return false;
  std::string digits;
  for (size_t i = at; i < name.size() && digits.size() < 14; ++i) {
    if (name[i] >= '0' && name[i] <= '9') digits += name[i];
  }
  if (digits.size() < 14) return false;
  tm parts{};
  parts.tm_year = std::stoi(digits.substr(0, 4)) - 1900;
  parts.tm_mon = std::stoi(digits.substr(4, 2)) - 1;
  parts.tm_mday = std::stoi(digits.substr(6, 2));
  parts.tm_hour = std::stoi(digits.substr(8, 2));
  parts.tm_min = std::stoi(digits.substr(10, 2));
  parts.tm_sec = std::stoi(digits.substr(12, 2));
  pTime->tv_sec = timegm(&parts);
  pTime->tv_nsec = 0;
  return true;
}

// One photo of a generated set: quick to draw, still unlike its neighbours.
bool WriteQuickJpeg(const std::filesystem::path& path, int width, int height, int index) {
  Random random{0x9E3779B97F4A7C15ull * static_cast<uint64_t>(index + 1)};
  const int baseR = 40 + static_cast<int>(random.Next() % 150);
  const int baseG = 40 + static_cast<int>(random.Next() % 150);
  const int baseB = 40 + static_cast<int>(random.Next() % 150);
  return WriteRgbJpeg(path, width, height, 85, [&](int y, uint8_t* row) {
    const int dy = y * 64 / height;
    for (int x = 0; x < width; ++x) {
      const int grain = static_cast<int>(random.Next() % 17) - 8;
      const int check = ((x / 32 + y / 32) & 1) * 24;
      row[x * 3] = Clamp(baseR + x * 64 / width + grain);
      row[x * 3 + 1] = Clamp(baseG + dy + grain);
      row[x * 3 + 2] = Clamp(baseB + check + grain);
    }
  });
}

bool ParseSize(const std::string& text, int* pWidth, int* pHeight) {
  return std::sscanf(text.c_str(), "%dx%d", pWidth, pHeight) == 2 && *pWidth > 0 &&
         *pHeight > 0 && *pWidth <= 20000 && *pHeight <= 20000;
}

struct SetSpec {
  int count = 0;
  int days = 1;
  int width = 640;
  int height = 480;
  int large = 0;
  int largeWidth = 0;
  int largeHeight = 0;
  int jobs = 0;
};

// Photo i of the set (0 the newest): its day counts back from 30 June 2024; within a day the
// photos run from 09:00 down to 01:00 UTC.
timespec SetPhotoTime(const SetSpec& spec, int index) {
  const int day = static_cast<int>(static_cast<int64_t>(index) * spec.days / spec.count);
  int first = 0;
  while (static_cast<int64_t>(first) * spec.days / spec.count < day) ++first;
  int last = first;
  while (last + 1 < spec.count &&
         static_cast<int64_t>(last + 1) * spec.days / spec.count == day) {
    ++last;
  }
  const int inDay = last - first + 1;
  const int slot = index - first;  // 0 the day's newest
  tm end{};
  end.tm_year = 2024 - 1900;
  end.tm_mon = 5;
  end.tm_mday = 30;
  const time_t midnight = timegm(&end) - static_cast<time_t>(day) * 86400;
  const int span = 8 * 3600 - 1;
  timespec when{};
  when.tv_sec = midnight + 3600 + span - (inDay > 1 ? static_cast<int64_t>(span) * slot / (inDay - 1) : 0);
  return when;
}

int MakeSet(const std::filesystem::path& folder, const SetSpec& spec) {
  const std::filesystem::path camera = folder / "Camera";
  std::error_code error;
  std::filesystem::create_directories(camera, error);
  if (error) {
    std::fprintf(stderr, "make-sample-photos: cannot make %s\n", camera.c_str());
    return 1;
  }
  int jobs = spec.jobs > 0 ? spec.jobs
                           : std::max(1, std::min(6, static_cast<int>(std::thread::hardware_concurrency())));
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  std::atomic<uintmax_t> total{0};
  auto work = [&] {
    for (int index = next++; index < spec.count && !failed; index = next++) {
      timespec times[2];
      times[1] = SetPhotoTime(spec, index);
      times[0] = times[1];
      tm parts{};
      gmtime_r(&times[1].tv_sec, &parts);
      char name[64];
      std::snprintf(name, sizeof(name), "IMG_%04d%02d%02d_%02d%02d%02d_%05d.jpg",
                    parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                    parts.tm_min, parts.tm_sec, index);
      const std::filesystem::path path = camera / name;
      const bool large = index < spec.large;
      if (!WriteQuickJpeg(path, large ? spec.largeWidth : spec.width,
                          large ? spec.largeHeight : spec.height, index) ||
          utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        std::fprintf(stderr, "make-sample-photos: cannot write %s\n", path.c_str());
        failed = true;
        return;
      }
      std::error_code sizeError;
      total += std::filesystem::file_size(path, sizeError);
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < jobs; ++i) threads.emplace_back(work);
  for (std::thread& thread : threads) thread.join();
  if (failed) return 1;
  std::printf("photos %d files over %d days, %ju bytes in %s\n", spec.count, spec.days,
              static_cast<uintmax_t>(total), camera.c_str());
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: make-sample-photos <folder>\n"
               "       make-sample-photos <folder> --count N [--days D] [--size WxH]"
               " [--large K:WxH] [--jobs J]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // The folder comes first; an option there ("--help" too) is a mistake, not a folder name.
  if (argc < 2 || argv[1][0] == '-') return Usage();
  if (argc > 2) {
    SetSpec spec;
    for (int i = 2; i < argc; i += 2) {
      if (i + 1 >= argc) return Usage();
      const std::string option = argv[i];
      const std::string value = argv[i + 1];
      if (option == "--count") {
        spec.count = std::atoi(value.c_str());
      } else if (option == "--days") {
        spec.days = std::atoi(value.c_str());
      } else if (option == "--size") {
        if (!ParseSize(value, &spec.width, &spec.height)) return Usage();
      } else if (option == "--large") {
        size_t colon = value.find(':');
        if (colon == std::string::npos ||
            !ParseSize(value.substr(colon + 1), &spec.largeWidth, &spec.largeHeight)) {
          return Usage();
        }
        spec.large = std::atoi(value.substr(0, colon).c_str());
      } else if (option == "--jobs") {
        spec.jobs = std::atoi(value.c_str());
      } else {
        return Usage();
      }
    }
    if (spec.count <= 0 || spec.days <= 0 || spec.days > spec.count || spec.large < 0 ||
        spec.jobs < 0) {
      return Usage();
    }
    return MakeSet(argv[1], spec);
  }
  const std::filesystem::path folder = argv[1];
  uintmax_t total = 0;
  int index = 0;
  for (const PhotoSpec& spec : kPhotos) {
    std::filesystem::path path = folder / spec.relativePath;
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error || !WriteJpeg(path, spec, index)) {
      std::fprintf(stderr, "make-sample-photos: cannot write %s\n", path.c_str());
      return 1;
    }
    timespec times[2];
    if (!TimeFromName(path.filename().string(), &times[1])) {
      std::fprintf(stderr, "make-sample-photos: no time in %s\n", spec.relativePath);
      return 1;
    }
    times[0] = times[1];
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
      std::perror("make-sample-photos: utimensat");
      return 1;
    }
    uintmax_t size = std::filesystem::file_size(path, error);
    total += size;
    char when[32];
    tm parts{};
    gmtime_r(&times[1].tv_sec, &parts);
    std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &parts);
    std::printf("photo %s %ju bytes, taken %s UTC\n", spec.relativePath, size, when);
    ++index;
  }
  std::printf("photos %d files, %ju bytes in %s\n", index, total, folder.c_str());
  return 0;
}
