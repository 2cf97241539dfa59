#pragma once

namespace lumeno::server {

// A stream encoded once for all of its listeners from the capture's chunks (Opus, and any codec
// added the same way). The server calls it when the capture's rate or channel count changes:
// what the encoder keeps of its input (resampler history, a partial frame's worth of samples)
// belongs to the old format and must not be carried into the new one.
class SharedEncoder {
public:
    virtual ~SharedEncoder() = default;
    // From any thread; takes effect before the next chunk is encoded.
    virtual void inputFormatChanged() = 0;
};

}  // namespace lumeno::server
