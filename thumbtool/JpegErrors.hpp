// libjpeg error handling shared by the decoder and the encoder: fatal errors jump back to the
// function that called setjmp (libjpeg's error_exit must not return, and C++ exceptions must not
// unwind through its C frames); warnings are never printed.
#pragma once

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace thumbtool {

struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] inline void onJpegError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1);
}

inline void onJpegMessage(j_common_ptr, int) {}

// Points the codec at errors with the handlers above; call setjmp(errors.jump) next.
inline jpeg_error_mgr* installJpegErrors(JpegErrors& errors) {
  jpeg_error_mgr* manager = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = onJpegError;
  errors.manager.emit_message = onJpegMessage;
  return manager;
}

}  // namespace thumbtool
