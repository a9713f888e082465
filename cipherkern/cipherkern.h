// The AES engine library, libcipherkern.so (cipherkern.dll on Windows). It
// exports two functions with C linkage, AES_Crypt_File and
// AES_Crypt_File_Status; everything else is hidden. This header is the one
// definition of the library's interface: the main program binds the library
// through the names, types and constants below and restates none of them.
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
// AES_Crypt_File_Status does the same and also says how it went (one of the
// CIPHERKERN_STATUS_ values; with a read or write failure the system's error
// number in *systemError) and reports progress while it works. Callers that
// find it prefer it; AES_Crypt_File is built on it.
//
// Memory stays bounded whatever the file's length: both modes stream.
// Each call starts from nothing and leaves nothing behind in the process
// (no open files, key schedule, buffers or threads); calls on different files
// may run at the same time.
#ifndef TRESOLIN_CIPHERKERN_CIPHERKERN_H_
#define TRESOLIN_CIPHERKERN_CIPHERKERN_H_

// On Windows the library is cipherkern.dll; its exports use the C calling
// convention (cdecl) and undecorated names, on 32-bit x86 too.
#if defined(_WIN32)
#define CIPHERKERN_CALL __cdecl
#if defined(CIPHERKERN_BUILDING_LIBRARY)
#define CIPHERKERN_EXPORT __declspec(dllexport)
#else
#define CIPHERKERN_EXPORT
#endif
#elif defined(__GNUC__)
#define CIPHERKERN_CALL
#define CIPHERKERN_EXPORT __attribute__((visibility("default")))
#else
#define CIPHERKERN_CALL
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

// Suffixes the engine appends to whole paths, extension included.
#define CIPHERKERN_PACK_SUFFIX ".pack"     // mode 0: the pack container
#define CIPHERKERN_RESTORED_SUFFIX ".dec"  // mode 1: the restored file

// Results of AES_Crypt_File_Status.
enum {
  CIPHERKERN_STATUS_DONE = 0,
  // Mode 1: the decrypted body is no pack container that restores: a wrong
  // key or a damaged file.
  CIPHERKERN_STATUS_DAMAGED = 1,
  // The input could not be opened or read, or is no regular file.
  CIPHERKERN_STATUS_READ_ERROR = 2,
  // An output could not be created or written, the disk being full among
  // other causes (see *systemError).
  CIPHERKERN_STATUS_WRITE_ERROR = 3,
  // Arguments outside the interface, an output that is the input itself, or
  // an input of 2 GiB or more: nothing was touched.
  CIPHERKERN_STATUS_REFUSED = 4,
  CIPHERKERN_STATUS_NO_MEMORY = 5,
};

// Progress: done of total units of work, done rising to total. Called on the
// calling thread, a few hundred times at most for any file.
typedef void (*CIPHERKERN_Progress)(void* context, long long done, long long total);

CIPHERKERN_EXPORT int CIPHERKERN_CALL AES_Crypt_File(int mode, const char* inputPath,
                                                     const char* outputPath, const char* keyText,
                                                     int chunkSize);

// progress may be null; systemError may be null, else it receives the
// failing call's error number with READ_ERROR and WRITE_ERROR and 0 otherwise.
CIPHERKERN_EXPORT int CIPHERKERN_CALL AES_Crypt_File_Status(
    int mode, const char* inputPath, const char* outputPath, const char* keyText, int chunkSize,
    CIPHERKERN_Progress progress, void* progressContext, int* systemError);

// The exports' types and names, for binding the library at run time.
typedef int(CIPHERKERN_CALL* AES_Crypt_File_Fn)(int mode, const char* inputPath,
                                                const char* outputPath, const char* keyText,
                                                int chunkSize);
typedef int(CIPHERKERN_CALL* AES_Crypt_File_Status_Fn)(int mode, const char* inputPath,
                                                       const char* outputPath, const char* keyText,
                                                       int chunkSize, CIPHERKERN_Progress progress,
                                                       void* progressContext, int* systemError);
#define CIPHERKERN_EXPORT_NAME "AES_Crypt_File"
#define CIPHERKERN_STATUS_EXPORT_NAME "AES_Crypt_File_Status"

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TRESOLIN_CIPHERKERN_CIPHERKERN_H_
