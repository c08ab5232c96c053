// The extension module r64._r64: CR files read into numpy arrays and conversions into R64 and CR
// files, over the library. Failures become OSError (with errno), ValueError or MemoryError
// carrying the tools' messages; the GIL is released while pixels are decoded or written.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <mutex>

#include "change_endian.hpp"
#include "converter.hpp"
#include "cr_reader.hpp"
#include "parallel.hpp"
#include "r64_info.hpp"

namespace py = pybind11;

namespace {

[[noreturn]] void raise(const Failure& failure) {
  switch (failure.kind) {
    case Failure::Kind::kSystem:
      // OSError(errno, message) picks the subclass of the errno (FileNotFoundError, ...).
      PyErr_SetObject(PyExc_OSError, py::make_tuple(failure.error, failure.message).ptr());
      throw py::error_already_set();
    case Failure::Kind::kMemory:
      PyErr_SetString(PyExc_MemoryError, failure.message.c_str());
      throw py::error_already_set();
    default:
      throw py::value_error(failure.message);
  }
}

void check(const Failure& failure) {
  if (failure) raise(failure);
}

// Runs `work` on the handle without the GIL, the handle's lock held. The lock is only ever taken
// without the GIL, so a thread waiting for it never keeps others from Python.
template <typename Work>
Failure on_handle(CrReader& reader, Work work) {
  py::gil_scoped_release release;
  std::lock_guard lock(reader.lock());
  return work();
}

using Pixels = py::array_t<uint8_t, py::array::c_style>;

// The Python face of a CR file: the geometry, fixed at open, needs no lock.
class CrFile {
 public:
  explicit CrFile(const std::string& path) {
    std::unique_ptr<CrReader> reader;
    Failure failure;
    {
      py::gil_scoped_release release;
      failure = CrReader::open(path, &reader);
    }
    check(failure);
    reader_ = std::move(reader);
    width_ = reader_->width();
    height_ = reader_->height();
    rect_size_ = reader_->rect_size();
    levels_ = reader_->level_sizes();
  }

  const std::string& path() const { return reader_->path(); }
  int width() const { return width_; }
  int height() const { return height_; }
  int rect_size() const { return rect_size_; }
  const std::vector<std::pair<int, int>>& levels() const { return levels_; }
  bool closed() {
    bool closed = false;
    on_handle(*reader_, [&] {
      closed = reader_->closed();
      return Failure{};
    });
    return closed;
  }

  std::pair<int, int> level_size(int level) {
    check(on_handle(*reader_, [&] { return reader_->check_level(level); }));
    return levels_[static_cast<size_t>(level)];
  }

  Pixels read_region(int level, int x, int y, int w, int h) {
    Region r{};
    check(on_handle(*reader_, [&] { return reader_->clip(level, Region{x, y, w, h}, &r); }));
    return read(level, r);
  }

  Pixels read_level(int level) {
    Region r{};
    check(on_handle(*reader_, [&] { return reader_->clip(level, Region{0, 0, kMaxSide + 1, kMaxSide + 1}, &r); }));
    return read(level, r);
  }

  Pixels read_rect(int level, int column, int row) {
    Region r{};
    check(on_handle(*reader_, [&] { return reader_->rectangle(level, column, row, &r); }));
    return read(level, r);
  }

  py::dict psnr(const std::string& r64_path, const std::vector<int>& levels) {
    std::vector<LevelQuality> report;
    check(on_handle(*reader_, [&] { return reader_->quality(r64_path, levels, &report); }));
    py::dict out;
    for (const LevelQuality& q : report) {
      py::dict level;
      level["width"] = q.width;
      level["height"] = q.height;
      level["psnr"] = q.quality.psnr;
      level["worst_psnr"] = q.quality.worst_psnr;
      level["worst_x"] = q.quality.worst_w_ofs;
      level["worst_y"] = q.quality.worst_h_ofs;
      out[py::int_(q.level)] = level;
    }
    return out;
  }

  void close() {
    on_handle(*reader_, [&] {
      reader_->close();
      return Failure{};
    });
  }

 private:
  Pixels read(int level, Region r) {
    Pixels pixels({static_cast<py::ssize_t>(r.h), static_cast<py::ssize_t>(r.w), py::ssize_t{3}});
    unsigned char* rgb = pixels.mutable_data();
    check(on_handle(*reader_, [&] { return reader_->read(level, r, rgb); }));
    return pixels;
  }

  std::unique_ptr<CrReader> reader_;
  int width_, height_, rect_size_;
  std::vector<std::pair<int, int>> levels_;
};

ConvertOptions options_of(const std::string& filter, int rect_size, int threads, const std::string& mode, int quality,
                          bool progress) {
  return ConvertOptions{filter, rect_size, threads, mode, quality, progress};
}

py::dict converted(const Converted& c) {
  py::dict out;
  out["width"] = c.width;
  out["height"] = c.height;
  out["levels"] = c.levels;
  return out;
}

py::dict convert_file(const std::string& input, const std::string& r64_path, const std::string& cr_path,
                      const std::string& filter, int rect_size, int threads, const std::string& mode, int quality,
                      bool progress) {
  Converted result;
  Failure failure;
  {
    py::gil_scoped_release release;
    std::unique_ptr<BandSource> source;
    ConvertOptions options = options_of(filter, rect_size, threads, mode, quality, progress);
    failure = open_image_source(input, &source);
    if (!failure) failure = convert(*source, input, r64_path, cr_path, options, &result);
  }
  check(failure);
  return converted(result);
}

py::dict convert_array(const Pixels& pixels, const std::string& r64_path, const std::string& cr_path,
                       const std::string& filter, int rect_size, int threads, const std::string& mode, int quality,
                       bool progress) {
  if (pixels.ndim() != 3 || pixels.shape(2) != 3 || pixels.shape(0) > kMaxSide || pixels.shape(1) > kMaxSide)
    raise(argument_failure("the pixels must be an array of shape (height, width, 3) of uint8, sides 3 to 32767"));
  const auto height = static_cast<int>(pixels.shape(0)), width = static_cast<int>(pixels.shape(1));
  Converted result;
  Failure failure;
  {
    py::gil_scoped_release release;
    std::unique_ptr<BandSource> source = memory_source(pixels.data(), width, height);
    ConvertOptions options = options_of(filter, rect_size, threads, mode, quality, progress);
    failure = convert(*source, "", r64_path, cr_path, options, &result);
  }
  check(failure);
  return converted(result);
}

py::dict describe_r64(const std::string& path) {
  R64Info info;
  Failure failure;
  {
    py::gil_scoped_release release;
    failure = r64_info(path, &info);
  }
  check(failure);
  py::dict out;
  out["width"] = info.width;
  out["height"] = info.height;
  out["levels"] = info.levels;
  out["complete"] = info.complete;
  return out;
}

}  // namespace

PYBIND11_MODULE(_r64, m) {
  check_endian();
  r64_init();
  m.attr("__version__") = PPM2R64_VERSION;

  py::class_<CrFile>(m, "CrFile")
      .def(py::init<const std::string&>(), py::arg("path"))
      .def_property_readonly("path", &CrFile::path)
      .def_property_readonly("width", &CrFile::width)
      .def_property_readonly("height", &CrFile::height)
      .def_property_readonly("rect_size", &CrFile::rect_size)
      .def_property_readonly("levels", &CrFile::levels)
      .def_property_readonly("closed", &CrFile::closed)
      .def("level_size", &CrFile::level_size, py::arg("level"))
      .def("read_level", &CrFile::read_level, py::arg("level") = 0)
      .def("read_region", &CrFile::read_region, py::arg("level"), py::arg("x"), py::arg("y"), py::arg("width"),
           py::arg("height"))
      .def("read_rect", &CrFile::read_rect, py::arg("level"), py::arg("column"), py::arg("row"))
      .def("psnr", &CrFile::psnr, py::arg("r64_path"), py::arg("levels") = std::vector<int>{})
      .def("close", &CrFile::close);

  m.def("convert_file", &convert_file);
  m.def("convert_array", &convert_array);
  m.def("r64_info", &describe_r64);
  m.def("threads", &library_threads);
  m.def("set_threads", [](int n) {
    if (n < 1) raise(argument_failure("invalid threads"));
    set_library_threads(n);
  });
}
