#pragma once
// Gzip (deflate with the gzip wrapper) of one open file into another.

// 0 on success, -1 on any failure (read, deflate or write). Reads `source`
// from its current offset to its end and appends to `destination`.
int VXMCompressionGZipSrcToDest(int source, int destination);
