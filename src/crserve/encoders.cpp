// JPEG and PNG streams made a band of rows at a time. libjpeg's destination hands full buffers to
// the string of the call in progress, and its fatal errors jump back to that call; libspng writes
// through a callback into the same kind of string as it compresses each row.
#include "encoders.hpp"

#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>
#include <spng.h>

#include "tiles.hpp"

namespace crserve {

namespace {

constexpr size_t kJpegBuffer = 16384;

class JpegEncoder : public StreamEncoder {
 public:
  ~JpegEncoder() override {
    if (created_) jpeg_destroy_compress(&cinfo_);
  }

  bool start(int width, int height, int channels, std::string* out) {
    cinfo_.err = jpeg_std_error(&err_.pub);
    err_.pub.error_exit = [](j_common_ptr c) { std::longjmp(reinterpret_cast<Error*>(c->err)->resume, 1); };
    err_.pub.output_message = [](j_common_ptr) {};
    dest_.owner = this;
    out_ = out;
    if (setjmp(err_.resume)) return false;
    jpeg_create_compress(&cinfo_);
    created_ = true;
    dest_.pub.init_destination = [](j_compress_ptr c) { reset(c); };
    dest_.pub.empty_output_buffer = [](j_compress_ptr c) -> boolean {
      owner_of(c)->out_->append(reinterpret_cast<const char*>(owner_of(c)->dest_.buffer), kJpegBuffer);
      reset(c);
      return TRUE;
    };
    dest_.pub.term_destination = [](j_compress_ptr c) {
      JpegEncoder* self = owner_of(c);
      self->out_->append(reinterpret_cast<const char*>(self->dest_.buffer), kJpegBuffer - self->dest_.pub.free_in_buffer);
    };
    cinfo_.dest = &dest_.pub;
    cinfo_.image_width = static_cast<JDIMENSION>(width);
    cinfo_.image_height = static_cast<JDIMENSION>(height);
    cinfo_.input_components = channels;
    cinfo_.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo_);
    jpeg_set_quality(&cinfo_, kTileJpegQuality, TRUE);
    jpeg_start_compress(&cinfo_, TRUE);
    row_bytes_ = static_cast<size_t>(width) * channels;
    return true;
  }

  bool write(const unsigned char* rows, int count, std::string* out) override {
    out_ = out;
    std::vector<JSAMPROW> pointers(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) pointers[static_cast<size_t>(i)] = const_cast<JSAMPROW>(rows + i * row_bytes_);
    if (setjmp(err_.resume)) return false;
    for (JDIMENSION done = 0; done < static_cast<JDIMENSION>(count);)
      done += jpeg_write_scanlines(&cinfo_, pointers.data() + done, static_cast<JDIMENSION>(count) - done);
    return true;
  }

  bool finish(std::string* out) override {
    out_ = out;
    if (setjmp(err_.resume)) return false;
    jpeg_finish_compress(&cinfo_);
    return true;
  }

 private:
  struct Error {
    jpeg_error_mgr pub;
    std::jmp_buf resume;
  };
  struct Destination {
    jpeg_destination_mgr pub;
    JpegEncoder* owner;
    JOCTET buffer[kJpegBuffer];
  };

  static JpegEncoder* owner_of(j_compress_ptr c) { return reinterpret_cast<Destination*>(c->dest)->owner; }
  static void reset(j_compress_ptr c) {
    Destination* d = reinterpret_cast<Destination*>(c->dest);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = kJpegBuffer;
  }

  jpeg_compress_struct cinfo_{};
  Error err_{};
  Destination dest_{};
  bool created_ = false;
  size_t row_bytes_ = 0;
  std::string* out_ = nullptr;
};

class PngEncoder : public StreamEncoder {
 public:
  ~PngEncoder() override {
    if (ctx_ != nullptr) spng_ctx_free(ctx_);
  }

  bool start(int width, int height, int channels, std::string* out) {
    out_ = out;
    ctx_ = spng_ctx_new(SPNG_CTX_ENCODER);
    if (ctx_ == nullptr) return false;
    spng_ihdr ihdr{};
    ihdr.width = static_cast<uint32_t>(width);
    ihdr.height = static_cast<uint32_t>(height);
    ihdr.bit_depth = 8;
    ihdr.color_type = channels == 1 ? SPNG_COLOR_TYPE_GRAYSCALE : SPNG_COLOR_TYPE_TRUECOLOR;
    row_bytes_ = static_cast<size_t>(width) * channels;
    return spng_set_png_stream(ctx_, append, this) == 0 && spng_set_ihdr(ctx_, &ihdr) == 0 &&
           spng_encode_image(ctx_, nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) == 0;
  }

  bool write(const unsigned char* rows, int count, std::string* out) override {
    out_ = out;
    for (int i = 0; i < count; ++i) {
      int status = spng_encode_row(ctx_, rows + i * row_bytes_, row_bytes_);
      if (status != 0 && status != SPNG_EOI) return false;
    }
    return true;
  }

  bool finish(std::string*) override { return true; }  // the last row ended the stream

 private:
  static int append(spng_ctx*, void* user, void* data, size_t length) {
    static_cast<PngEncoder*>(user)->out_->append(static_cast<const char*>(data), length);
    return 0;
  }

  spng_ctx* ctx_ = nullptr;
  size_t row_bytes_ = 0;
  std::string* out_ = nullptr;
};

}  // namespace

std::unique_ptr<StreamEncoder> start_encoder(Format format, int width, int height, int channels, std::string* out) {
  if (format == Format::kJpg) {
    auto jpeg = std::make_unique<JpegEncoder>();
    if (!jpeg->start(width, height, channels, out)) return nullptr;
    return jpeg;
  }
  auto png = std::make_unique<PngEncoder>();
  if (!png->start(width, height, channels, out)) return nullptr;
  return png;
}

}  // namespace crserve
