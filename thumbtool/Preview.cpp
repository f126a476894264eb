#include "Preview.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "BackgroundTask.hpp"
#include "InputDescriptor.hpp"
#include "JpegThumbnail.hpp"
#include "Modules.hpp"
#include "RunGroup.hpp"
#include "Sandbox.hpp"
#include "SourceFile.hpp"
#include "SystemLog.hpp"
#include "Worker.hpp"

namespace thumbtool {

namespace {

// Every untrusted step of one run (render workers and thumbnailers together) shares this.
constexpr std::chrono::milliseconds kRenderBudget{10000};

// What every untrusted step of one run shares: the control group that holds their memory and
// tasks, and (when thumbtool runs as root) the user they run as.
struct Run {
  RunGroup group;
  std::optional<RunUser> user;
};

// As root, picks the run's user. Root hands no document to a decoder without one, unless root
// may not change user at all here: then its workers keep its user, confined by the filter and
// Landlock alone, and no thumbnailer runs (see Sandbox.hpp).
bool chooseRunUser(Run& run) {
  if (geteuid() == 0 && mayChangeUser()) {
    run.user = unusedRunUser();
    if (!run.user) {
      logToSystem("no document decoded: no unused user id was found for the run");
      return false;
    }
  }
  return true;
}

// "%PDF-" must be within the first 1024 bytes, as PDF readers accept it.
bool looksLikePdf(int fd) {
  char head[1024];
  std::size_t length = readAt(fd, head, sizeof head, 0);
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
  const int input = kInputFdInWorker;
  if (looksLikeJpeg(input)) {
    reply.contentType("image/jpeg");
    JpegThumbnail jpeg = jpegThumbnail(input, box);
    if (jpeg.status == JpegStatus::decoded) {
      reply.image(*jpeg.image);
      return;
    }
    if (jpeg.status == JpegStatus::refused) {
      reply.refused();
      return;
    }
  } else if (looksLikePdf(input)) {
    reply.contentType("application/pdf");
    // A PDF the renderer cannot open is left to the sandboxed thumbnailers, not handed to the
    // general image stack's own PDF loader: a second renderer in the worker would only be a
    // second surface for the same document.
    if (const PdfModule* pdf = pdfModule()) {
      bool refused = false;
      if (auto image = pdf->firstPage(input, box, &refused)) {
        reply.image(*image);
      } else if (refused) {
        reply.refused();
      }
      return;
    }
  }
  const VipsModule* vips = vipsModule();
  if (vips == nullptr) {
    return;
  }
  reply.contentType(vips->sniffContentType(input, name));
  bool refused = false;
  if (auto image = vips->fitDocument(input, box, &refused)) {
    reply.image(*image);
  } else if (refused) {
    reply.refused();
  }
}

// In the render worker, while thumbtool sets up the run and before the worker gives up root's
// user: the PDF renderer loaded and ready, or what the general image stack will need of root's
// own files; the worker's own set-up alongside. Only the first bytes are looked at, and
// not parsed, to tell.
void prepareToRender(int input, const std::function<void()>& alongside) {
  if (looksLikeJpeg(input)) {
    alongside();
    return;
  }
  BackgroundTask setUp(alongside);
  if (looksLikePdf(input)) {
    if (const PdfModule* pdf = pdfModule()) {
      pdf->prepare();
    }
    return;
  }
  if (const VipsModule* vips = vipsModule()) {
    vips->loadTypeDatabase();
  }
}

// A thumbnailer's picture, decoded in a worker and as PNG only, from the copy the sandbox made
// of it.
std::optional<Image> thumbnailerPicture(const VipsModule& vips, int picture, Box box,
                                        const Deadline& deadline, const Run& run) {
  struct stat info {};
  if (fstat(picture, &info) != 0 || info.st_size <= 0 || lseek(picture, 0, SEEK_SET) != 0) {
    return std::nullopt;
  }
  WorkerTask decode = [&](WorkerReply& reply) {
    if (auto image = vips.fitPng(kInputFdInWorker, box)) {
      reply.image(*image);
    }
  };
  return runInWorker(decode, box, deadline, picture, run.user).image;
}

// The registered thumbnailers for the type, each in a fresh sandbox, in turn until one makes a
// picture.
std::optional<Image> thumbnailerPreview(const VipsModule& vips, const Source& source,
                                        const std::string& type, Box box, const Deadline& deadline,
                                        const Run& run) {
  ThumbnailerSandbox sandbox(source.path, source.file.get(), run.group.holdsMemory(), run.user);
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
    if (auto image = thumbnailerPicture(vips, picture.get(), box, deadline, run)) {
      return image;
    }
  }
  return std::nullopt;
}

std::optional<Image> textPreview(const VipsModule& vips, const Source& source, Box box,
                                 const Deadline& deadline, const Run& run) {
  WorkerTask render = [&](WorkerReply& reply) {
    if (auto image = vips.textPage(kInputFdInWorker, box)) {
      reply.image(*image);
    }
  };
  return runInWorker(render, box, deadline, source.file.get(), run.user).image;
}

// What is tried once the document's worker ended without a picture: thumbnailers, then a
// page of text.
std::optional<Image> fallbackPreview(const Source& source, const std::string& type, Box box,
                                     const Deadline& deadline, const Run& run) {
  const VipsModule* vips = vipsModule();
  if (vips == nullptr || type.empty()) {
    return std::nullopt;
  }
  if (auto image = thumbnailerPreview(*vips, source, type, box, deadline, run)) {
    return image;
  }
  if (vips->isText(type)) {
    return textPreview(*vips, source, box, deadline, run);
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
  Run run;
  if (source.kind == SourceKind::document) {
    // Every process that handles the document, and thumbtool itself meanwhile, share one memory
    // budget; nothing they started outlives it. The group comes first: every process started
    // from here on is born in it.
    run.group = RunGroup::join({kRunMemory, kRunTasks});
    Deadline deadline(kRenderBudget);
    WorkerTask render = [&](WorkerReply& reply) { renderDocument(source.path, ofSize, reply); };
    // Started before the run's user is picked, so that it loads the decoder the document needs
    // meanwhile; it reads the document only once it has become that user.
    StartedWorker worker = startWorker(render, ofSize, deadline, source.file.get(),
                                       [](const std::function<void()>& alongside) {
                                         prepareToRender(kInputFdInWorker, alongside);
                                       });
    WorkerResult document;
    if (chooseRunUser(run)) {
      document = worker.finish(run.user);
    } else {
      worker = StartedWorker();
    }
    if (document.image) {
      return document.image;
    }
    type = document.contentType.value_or("");
    // A document that was refused, or that took its worker down, gets its icon: other
    // renderers would only be handed the same bomb.
    if (document.finished && !document.refused) {
      if (auto image = fallbackPreview(source, type, ofSize, deadline, run)) {
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
