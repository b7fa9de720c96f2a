// The line the scripted host records for one of the update tool's message boxes, without the
// answer: "msgbox <icon> "<title>" "<text of string nId>"".
#pragma once

#include <string>

#include "Loader/common/ComString.h"
#include "platform/resources/resources.h"

inline std::string BoxLine(int nId, const char* icon) {
    const CComString text(std::string(platform::resources::LoadString(nId)).c_str());
    return std::string("msgbox ") + icon + " \"ZR-40ソフトウェア更新ツール\" \"" + text.ToUtf8() +
           "\"";
}
