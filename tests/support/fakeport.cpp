#include "fakeport.h"

#include "strutil.h"

std::vector<std::string> TFakePort::Entries(const std::string& Prefix) const
{
    std::vector<std::string> found;
    for (const auto& entry : Log)
        if (entry.compare(0, Prefix.size(), Prefix) == 0)
            found.push_back(entry.substr(Prefix.size()));
    return found;
}

void TFakePort::SetCaption(const std::string& Text)
{
    Caption = Text;
    Log.push_back("caption:" + Text);
}

void TFakePort::SetProgress(const std::string& Text, int64_t, int64_t)
{
    Caption = Text;
    Log.push_back("caption:" + Text);
    Log.push_back("progress:" + Text);
}

void TFakePort::SetMemoText(const std::string& Text)
{
    Memo = Text;
    Log.push_back("memo:" + Text);
}

std::vector<std::string> TFakePort::MemoLines()
{
    // One line per CR LF: names never wrap, as they may in the window.
    return Memo.empty() ? std::vector<std::string>() : SplitAt(Memo, "\r\n");
}

bool TFakePort::RunFileDialog(TFileDialog& Dialog)
{
    Log.push_back(std::string("dialog:") + (Dialog.Kind == TFileDialog::Open ? "Open" : "Save") + "|" + Dialog.Filter +
                  "|" + std::to_string(Dialog.FilterIndex) + "|" + Dialog.FileName);
    if (DialogAnswers.empty())
        return false;
    const std::optional<std::string> answer = DialogAnswers.front();
    DialogAnswers.pop_front();
    if (!answer)
        return false;
    Dialog.FileName = *answer;
    return true;
}

int TFakePort::AskOkCancel(const std::string& Text, const std::string& BoxCaption, int Flags)
{
    Log.push_back("message:" + BoxCaption + "|" + std::to_string(Flags) + "|" + Text);
    if (WhileAsking)
        WhileAsking();
    if (MessageAnswers.empty())
        return IdOk;
    const int answer = MessageAnswers.front();
    MessageAnswers.pop_front();
    return answer;
}

void TFakePort::SetCursor(TCursor NewCursor)
{
    Cursor = NewCursor;
    Log.push_back("cursor:" + std::to_string(static_cast<int>(NewCursor)));
}
