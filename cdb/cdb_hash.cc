// The key hash shared by the reader and the writer.
#include "cdb/cdb.h"

uint32_t cdb_hash(const void* bytes, size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  uint32_t h = kCdbHashStart;
  for (size_t i = 0; i < length; ++i) h = cdb_hash_add(h, p[i]);
  return h;
}
