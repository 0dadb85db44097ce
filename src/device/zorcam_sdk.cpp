#include "device/zorcam_sdk.h"

namespace kalvex {

CZorcamN7KTHERMOSdk::CZorcamN7KTHERMOSdk() {
    reserved_ = 0;
    SetDeviceBaseName("ZcamN7KTHM");
    ProbeCameras();
    // Another instance of this process may be streaming from camera 0: resetting
    // its sample width and window under it would end its capture. Take the
    // settings over here only; the camera is configured again when this
    // instance itself acquires.
    const bool inUse = CameraStreaming(0);
    SetMuted(inUse);
    InitCamera(0);
    SetMuted(false);
}

int CZorcamN7KTHERMOSdk::SetPixelDepth(int sixteenBit) {
    StoreSixteenBit(sixteenBit);
    SendCommand(MakeCommand(kOpPixelDepth, {1}));
    WriteRegister(kRegSampleDepth, sixteenBit != 0 ? kSampleDepth16 : kSampleDepth8);
    return 1;
}

}  // namespace kalvex
