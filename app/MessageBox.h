// Message boxes as the windows ask for them. The windows hold a TMessageBoxFunc, which shows a
// modal box by default; tests put a function in its place that records and answers.
#pragma once

#include <functional>
#include <string>

enum class TMsgButtons { Ok, YesNo };
enum class TMsgIcon { None, Warning, Question, Information };

// Answers, by the numbers the windows compare with.
enum TModalResult { mrNone = 0, mrOk = 1, mrYes = 6, mrNo = 7 };

using TMessageBoxFunc = std::function<int(const std::string& text, const std::string& caption,
                                          TMsgButtons buttons, TMsgIcon icon)>;
