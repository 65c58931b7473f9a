#pragma once
// Colour and picture stand-ins for components that hold them without drawing: a colour
// is an RGB value, a picture keeps its image bytes.
#include <cstdint>
#include <string>

#include "platform/rtl/Classes.h"

using TColor = int32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;

class TPicture : public TPersistent {
public:
    // Encoded image (empty: no picture).
    const std::string& Data() const { return FData; }
    void SetData(const std::string& d) { FData = d; }
    bool Empty() const { return FData.empty(); }
    // Copies another picture's content; nullptr clears it.
    void Assign(TPersistent* Source) override {
        if (!Source) {
            FData.clear();
            return;
        }
        if (auto* p = dynamic_cast<TPicture*>(Source)) {
            FData = p->FData;
            return;
        }
        TPersistent::Assign(Source);
    }

private:
    std::string FData;
};
