#include "keyframe.h"

namespace kovra {

void SetUpKeyFrame(KeyFrame &frame)
{
    for (std::size_t i = 0; i < kFrameHead.size(); ++i)
        frame[1 + i] = kFrameHead[i];
    frame[32] = kFrameTail[0];
    frame[33] = kFrameTail[1];
}

KeyEntry MakeKeyEntry(const KeyRow &row)
{
    return {0x00, row.code, row.checkHigh, row.checkLow};
}

void GetChannel(KeyFrame &frame, const KeyEntry &channel)
{
    for (std::size_t s = 1; s <= 3; ++s)
        frame[s + 28] = channel[s];
}

}  // namespace kovra
