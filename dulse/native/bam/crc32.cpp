#include "bam/crc32.hpp"

#if defined(DULSE_HAVE_ISAL)
#include <isa-l/crc.h>
#elif defined(DULSE_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

namespace dulse::bam {

#if defined(DULSE_HAVE_ISAL)

uint32_t crc32(const uint8_t* data, size_t n) {
  return crc32_gzip_refl(0, const_cast<uint8_t*>(data), n);
}

#elif defined(DULSE_HAVE_LIBDEFLATE)

uint32_t crc32(const uint8_t* data, size_t n) {
  return static_cast<uint32_t>(libdeflate_crc32(0, data, n));
}

#else

uint32_t crc32(const uint8_t* data, size_t n) {
  return static_cast<uint32_t>(::crc32(0, data, static_cast<uInt>(n)));
}

#endif

}  // namespace dulse::bam
