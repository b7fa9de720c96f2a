// Texts the programs put into controls at run time, at their longest, so that pictures and the
// fit checks see the dialogs as people do.
#pragma once

#include <string>
#include <vector>

#include "platform/ui/Text.h"
#include "platform/ui/Ui.h"

namespace testsupport {

struct SampleText {
    int dialog;
    int control;
    const char* utf8;
};

inline const std::vector<SampleText>& SampleTexts() {
    static const std::vector<SampleText> texts = {
        {1000, 1131, "ZR-40のソフトウェアを書き換え中です。"},
        {1000, 1132, "ソフトウェアバージョンを確認してから実行してください。"},
        {1000, 1125, "\r\nZR-40\r\nソフトウェアバージョン\r\n\r\nVer1.00"},
        {1000, 1126, "\r\n新しい\r\nソフトウェアバージョン\r\n\r\nVer1.01"},
        {1000, 1128, "100%  完了"},
        {100, 117, "RURududiv Version v1.00"},
        {100, 1003, "Copyright (C) 2011 Norvale Inc."},
        {130, 1007, "（バージョン Ver1.01）"},
    };
    return texts;
}

// Fills a dialog's run-time texts and shows what the running program shows with them.
inline void FillSamples(platform::ui::Dialog& dialog) {
    for (const SampleText& sample : SampleTexts()) {
        if (sample.dialog == dialog.TemplateId()) {
            dialog.SetItemText(sample.control, platform::ui::Utf8ToCp932(sample.utf8));
        }
    }
    if (dialog.TemplateId() == 1000) {
        dialog.ShowItem(1127, true);
        dialog.EnableItem(1127, true);
        dialog.EnableItem(1128, true);
        dialog.SetProgressPos(1127, 100);
    }
}

}  // namespace testsupport
