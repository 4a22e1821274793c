// The part of libzstd's stable interface that kx calls, declared for builds
// that find the shared library (libzstd.so.1, on every Debian system since
// dpkg links it) but not its development header.  Everything here belongs
// to the library's stable API, whose functions, structures and enum values
// keep their ABI for the whole 1.x series of the soname libzstd.so.1; none
// of the experimental interface (ZSTD_STATIC_LINKING_ONLY) may be added.
// Where the header is installed the build includes it instead.
#pragma once

#include <cstddef>

extern "C" {

typedef struct ZSTD_CCtx_s ZSTD_CCtx;
typedef struct ZSTD_DCtx_s ZSTD_DCtx;

typedef struct ZSTD_inBuffer_s {
  const void* src;
  size_t size;
  size_t pos;
} ZSTD_inBuffer;

typedef struct ZSTD_outBuffer_s {
  void* dst;
  size_t size;
  size_t pos;
} ZSTD_outBuffer;

typedef enum {
  ZSTD_c_compressionLevel = 100,
  ZSTD_c_checksumFlag = 201,
  ZSTD_c_nbWorkers = 400,
} ZSTD_cParameter;

typedef enum { ZSTD_e_continue = 0, ZSTD_e_flush = 1, ZSTD_e_end = 2 } ZSTD_EndDirective;

unsigned ZSTD_versionNumber(void);
const char* ZSTD_versionString(void);
unsigned ZSTD_isError(size_t code);
const char* ZSTD_getErrorName(size_t code);

ZSTD_CCtx* ZSTD_createCCtx(void);
size_t ZSTD_freeCCtx(ZSTD_CCtx* cctx);
size_t ZSTD_CCtx_setParameter(ZSTD_CCtx* cctx, ZSTD_cParameter param, int value);
size_t ZSTD_compressStream2(ZSTD_CCtx* cctx, ZSTD_outBuffer* output, ZSTD_inBuffer* input,
                            ZSTD_EndDirective end_op);
size_t ZSTD_CStreamOutSize(void);

ZSTD_DCtx* ZSTD_createDCtx(void);
size_t ZSTD_freeDCtx(ZSTD_DCtx* dctx);
size_t ZSTD_decompressStream(ZSTD_DCtx* zds, ZSTD_outBuffer* output, ZSTD_inBuffer* input);

}  // extern "C"
