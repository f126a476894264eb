#include "Preview.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "JpegThumbnail.hpp"
#include "Modules.hpp"
#include "RunGroup.hpp"
#include "Sandbox.hpp"
#include "SourceFile.hpp"
#include "Worker.hpp"

namespace thumbtool {

namespace {

// Every untrusted step of one run (render workers and thumbnailers together) shares this.
constexpr std::chrono::milliseconds kRenderBudget{10000};

// "%PDF-" must be within the first 1024 bytes, as PDF readers accept it.
bool looksLikePdf(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rbe");
  if (file == nullptr) {
    return false;
  }
  char head[1024];
  std::size_t length = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  for (std::size_t i = 0; i + 5 <= length; ++i) {
    if (std::memcmp(head + i, "%PDF-", 5) == 0) {
      return true;
    }
  }
  return false;
}

// In the render worker: JPEG and PDF through their own decoders, everything else (and CMYK
// JPEGs without a profile) through the general image stack. Known types are announced before
// the decoding starts, so that a worker killed meanwhile still leaves the right icon.
void renderDocument(const std::string& name, Box box, WorkerReply& reply) {
  const std::string path = kWorkerInputPath;
  if (looksLikeJpeg(path)) {
    reply.contentType("image/jpeg");
    JpegThumbnail jpeg = jpegThumbnail(path, box);
    if (jpeg.status == JpegStatus::decoded) {
      reply.image(*jpeg.image);
      return;
    }
    if (jpeg.status == JpegStatus::refused) {
      reply.refused();
      return;
    }
  } else if (looksLikePdf(path)) {
    reply.contentType("application/pdf");
    const PdfModule* pdf = pdfModule();
    if (auto image = pdf != nullptr ? pdf->firstPage(path, box) : std::nullopt) {
      reply.image(*image);
      return;
    }
  }
  const VipsModule* vips = vipsModule();
  if (vips == nullptr) {
    return;
  }
  reply.contentType(vips->sniffContentType(path, name));
  bool refused = false;
  if (auto image = vips->fitDocument(path, box, &refused)) {
    reply.image(*image);
  } else if (refused) {
    reply.refused();
  }
}

// A thumbnailer's picture, decoded in a worker and as PNG only, from the copy the sandbox made
// of it.
std::optional<Image> thumbnailerPicture(const VipsModule& vips, int picture, Box box,
                                        const Deadline& deadline) {
  struct stat info {};
  if (fstat(picture, &info) != 0 || info.st_size <= 0 || lseek(picture, 0, SEEK_SET) != 0) {
    return std::nullopt;
  }
  WorkerTask decode = [&](WorkerReply& reply) {
    if (auto image = vips.fitPng(kInputFdInWorker, box)) {
      reply.image(*image);
    }
  };
  return runInWorker(decode, box, deadline, picture).image;
}

// The registered thumbnailers for the type, each in a fresh sandbox, in turn until one makes a
// picture.
std::optional<Image> thumbnailerPreview(const VipsModule& vips, const Source& source,
                                        const std::string& type, Box box, const Deadline& deadline,
                                        const RunGroup& group) {
  ThumbnailerSandbox sandbox(source.path, source.file.get(), group.holdsMemory());
  if (sandbox.sourcePath().empty()) {
    return std::nullopt;
  }
  for (const ThumbnailerCommand& command : vips.thumbnailerCommands(
           type, sandbox.sourcePath(), kSandboxOutputFile, std::max(box.width, box.height))) {
    if (deadline.passed()) {
      break;
    }
    FileDescriptor picture(memfd_create("thumbtool-picture", MFD_CLOEXEC));
    if (!picture.valid() || !sandbox.run(command, picture.get(), deadline)) {
      continue;
    }
    if (auto image = thumbnailerPicture(vips, picture.get(), box, deadline)) {
      return image;
    }
  }
  return std::nullopt;
}

std::optional<Image> textPreview(const VipsModule& vips, const Source& source, Box box,
                                 const Deadline& deadline) {
  WorkerTask render = [&](WorkerReply& reply) {
    if (auto image = vips.textPage(kWorkerInputPath, box)) {
      reply.image(*image);
    }
  };
  return runInWorker(render, box, deadline, source.file.get()).image;
}

// What is tried once the document's worker ended without a picture: thumbnailers, then a
// page of text.
std::optional<Image> fallbackPreview(const Source& source, const std::string& type, Box box,
                                     const Deadline& deadline, const RunGroup& group) {
  const VipsModule* vips = vipsModule();
  if (vips == nullptr || type.empty()) {
    return std::nullopt;
  }
  if (auto image = thumbnailerPreview(*vips, source, type, box, deadline, group)) {
    return image;
  }
  if (vips->isText(type)) {
    return textPreview(*vips, source, box, deadline);
  }
  return std::nullopt;
}

// From the trusted icon theme, by the type the worker found or else by the file's name. This
// starts the image stack's threads in this process, so no worker may be started after it.
std::optional<Image> fileIcon(const std::string& path, std::string type, Box box) {
  const VipsModule* vips = vipsModule();
  if (vips == nullptr) {
    return std::nullopt;
  }
  if (type.empty()) {
    type = vips->contentTypeFromName(path);
  }
  return vips->icon(type, box);
}

}  // namespace

std::optional<Image> imageWithPreviewOfFileAtPath(const std::string& path, Box ofSize,
                                                  bool asIcon) {
  static_cast<void>(asIcon);
  if (path.empty()) {
    return std::nullopt;
  }
  Source source = inspectSource(path);
  if (source.kind == SourceKind::missing) {
    return std::nullopt;
  }
  std::string type = source.specialType;
  // Every process that handles the document, and thumbtool itself meanwhile, share one memory
  // budget; nothing they started outlives it.
  RunGroup group;
  if (source.kind == SourceKind::document) {
    group = RunGroup::join({kRunMemory, kRunTasks});
    Deadline deadline(kRenderBudget);
    WorkerTask render = [&](WorkerReply& reply) { renderDocument(source.path, ofSize, reply); };
    WorkerResult document = runInWorker(render, ofSize, deadline, source.file.get());
    if (document.image) {
      return document.image;
    }
    type = document.contentType.value_or("");
    // A document that was refused, or that took its worker down, gets its icon: other
    // renderers would only be handed the same bomb.
    if (document.finished && !document.refused) {
      if (auto image = fallbackPreview(source, type, ofSize, deadline, group)) {
        return image;
      }
    }
  }
  return fileIcon(source.path, type, ofSize);
}

std::optional<Bytes> encodeImage(const Image& image, Format format) {
  switch (format) {
    case Format::png:
      return encodePng(image);
    case Format::jpg:
      return encodeJpeg(image);
    case Format::bmp:
      return encodeBmp(image);
    case Format::tiff:
    case Format::gif:
      break;
  }
  const VipsModule* vips = vipsModule();
  if (vips == nullptr) {
    return std::nullopt;
  }
  return vips->encode(image, format);
}

}  // namespace thumbtool
