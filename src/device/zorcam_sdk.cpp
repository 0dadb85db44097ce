#include "device/zorcam_sdk.h"

namespace kalvex {

CZorcamN7KTHERMOSdk::CZorcamN7KTHERMOSdk() {
    reserved_ = 0;
    SetDeviceBaseName("ZcamN7KTHM");
    ProbeCameras();
    InitCamera(0);
}

int CZorcamN7KTHERMOSdk::SetPixelDepth(int sixteenBit) {
    StoreSixteenBit(sixteenBit);
    SendCommand(MakeCommand(kOpPixelDepth, {1}));
    WriteRegister(14, sixteenBit != 0 ? 9 : 8);
    return 1;
}

}  // namespace kalvex
