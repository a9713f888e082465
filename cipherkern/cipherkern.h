// The AES engine library, libcipherkern.so. It exports exactly one function,
// AES_Crypt_File, with C linkage; everything else is hidden.
//
// AES_Crypt_File encrypts one file into another (mode 0) or restores it
// (mode 1). It returns 0 in every case: the files on disk tell the outcome.
// Mode 0 packs the input into a one-entry pack container, written to
// input + ".pack" (mode 0600; the caller deletes it), pads it with k bytes of
// value k to whole 16-byte blocks (k = 0 to 15) and writes its AES-256-ECB
// encryption to the output path. No header, IV or integrity value.
// Mode 1 decrypts the input into the output path (the decrypted pack
// container, mode 0600; the caller deletes it) and writes the restored file
// to output + ".dec" (mode 0600). A ".dec" file exists afterwards iff the
// entry was restored: a damaged or wrongly keyed body leaves none.
//
// key text: 32 hexadecimal digits, either case. The AES key is the 16 bytes
// they spell, twice. chunk size: bytes per read and write, a positive
// multiple of 16. Any other key text, chunk size, mode or a null or empty path
// touches no file. Inputs of 2 GiB or more are refused without output.
//
// Each call starts from nothing and leaves nothing behind in the process
// (no open files, key schedule or buffers); calls on different files may run
// at the same time.
#ifndef TRESOLIN_CIPHERKERN_CIPHERKERN_H_
#define TRESOLIN_CIPHERKERN_CIPHERKERN_H_

#if defined(__GNUC__)
#define CIPHERKERN_EXPORT __attribute__((visibility("default")))
#else
#define CIPHERKERN_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
  CIPHERKERN_MODE_ENCRYPT = 0,
  CIPHERKERN_MODE_DECRYPT = 1,
  // What the main program passes as chunk size.
  CIPHERKERN_CHUNK_SIZE = 16384,
};

CIPHERKERN_EXPORT int AES_Crypt_File(int mode, const char* inputPath, const char* outputPath,
                                     const char* keyText, int chunkSize);

// The export's type and name, for binding the library at run time.
typedef int (*AES_Crypt_File_Fn)(int mode, const char* inputPath, const char* outputPath,
                                 const char* keyText, int chunkSize);
#define CIPHERKERN_EXPORT_NAME "AES_Crypt_File"

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TRESOLIN_CIPHERKERN_CIPHERKERN_H_
