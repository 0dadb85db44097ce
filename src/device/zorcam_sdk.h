// CZorcamN7KTHERMOSdk: the thermal camera model. Construction probes the eight
// device paths and configures camera 0; a camera that is absent simply makes
// the commands fail and the object is still usable.
#pragma once

#include <cstdint>

#include "device/zcm_sdk_lib.h"

namespace kalvex {

class CZorcamN7KTHERMOSdk : public CZCMSdkLib {
  public:
    CZorcamN7KTHERMOSdk();

    // Stores the flag, sends kOpPixelDepth with byte 1 = 1 and writes
    // kRegSampleDepth (kSampleDepth16 or kSampleDepth8). Returns 1 whatever the transfers gave.
    int SetPixelDepth(int sixteenBit) override;

    // The transfer length in samples that SetWindow last sent to the camera.
    int32_t WindowTransferSamples() const { return windowTransferSamples_; }

  protected:
    void RememberWindowTransfer(int32_t transferSamples) override {
        windowTransferSamples_ = transferSamples;
    }

  private:
    int32_t reserved_ = 0;  // cleared at construction, never used
    int32_t windowTransferSamples_ = 0;
};

}  // namespace kalvex
