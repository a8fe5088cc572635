// Signing PE files on POSIX: the file side of the Authenticode engine. It
// checks the headers, computes the image digest and checksum in one streaming
// pass, asks its caller for the signature and replaces the file atomically.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "authenticode/pe/pe_layout.h"
#include "authenticode/pe/pe_stream.h"

namespace authenticode {

// Makes the new PKCS#7 SignedData (DER) for a file whose Authenticode SHA-256
// image digest is `digest`. `existing` is the PKCS#7 DER of the file's current
// signature (empty when the file is unsigned). Returns 0 or an HRESULT
// (int32_t), which RewritePeSignature returns as is.
typedef int32_t (*SignatureMaker)(const uint8_t digest[32],
                                  const std::vector<uint8_t>& existing,
                                  std::vector<uint8_t>* signature, void* context);

// Signs (or re-signs) the PE file at `path` (bytes as the file system takes
// them): one streaming read pass that validates the headers, computes the
// image digest and the checksum and writes a copy under a temporary name in
// the same directory; then calls `maker`; then appends the certificate table
// (WIN_CERTIFICATE rev 0x0200 type 0x0002, 8-byte aligned, zero padded), sets
// data directory 4 and the recomputed PE checksum, flushes to disk and renames
// over the original, keeping its mode (and owner where permitted); a symbolic
// link is followed and its target replaced. On any failure (including a
// failing maker) the original is byte for byte unchanged and no temporary
// file is left. Returns 0 or the HRESULT for the cause.
int32_t RewritePeSignature(const std::string& path, SignatureMaker maker, void* context);

// The same with the streaming pass tuned (how the copy may be made, buffer
// sizes): for tests and benchmarks of each way; the result is the same file.
int32_t RewritePeSignature(const std::string& path, SignatureMaker maker, void* context,
                           const PeStreamOptions& options);

// Reads only the headers: is this a PE the engine signs? 0 when yes, else the
// HRESULT (0x800B0003 not a PE, 0x800700C1 broken PE, file errors as
// 0x80070002, 0x80070003, 0x80070005...).
int32_t ProbePeFile(const std::string& path);

// Computes the image digest of the PE file at `path` without changing it:
// the digest a signature made now would carry.
int32_t ComputePeDigest(const std::string& path, uint8_t digest[32]);

}  // namespace authenticode
