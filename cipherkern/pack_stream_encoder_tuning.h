// Settings of the streaming encoder that change how it works, never the
// stream it writes: the tests and the fuzz targets set them to reach the
// paths that long files take (many slides of the input buffer, the second
// thread) with short inputs. Nothing here is exported from the library.
#ifndef TRESOLIN_CIPHERKERN_PACK_STREAM_ENCODER_TUNING_H_
#define TRESOLIN_CIPHERKERN_PACK_STREAM_ENCODER_TUNING_H_

#include <cstddef>

#include "cipherkern/pack_stream_io.h"

namespace cipherkern::pack {

struct EncoderTuning {
  // Input bytes read at a time, beyond what the steps keep around their
  // position. Small values slide the buffer often.
  std::size_t readChunk = std::size_t{1} << 20;
  // Inputs of at least this many bytes run the match finder on a second
  // thread; 0 runs every input so.
  std::size_t secondThreadFrom = std::size_t{256} << 10;
};

// EncodeStream with tuning.
[[nodiscard]] StreamEncodeResult EncodeStreamTuned(EncodeInput& input, ByteSink& sink,
                                                   const StreamEncodeOptions& options,
                                                   const EncoderTuning& tuning);

}  // namespace cipherkern::pack

#endif  // TRESOLIN_CIPHERKERN_PACK_STREAM_ENCODER_TUNING_H_
