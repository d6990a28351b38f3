#include <iconv.h>

#include <cerrno>

#include "codepage.h"
#include "strutil.h"

namespace {

class TIconvConverter final : public TCodeConverter {
public:
    explicit TIconvConverter(iconv_t Handle) : Handle_(Handle) {}
    ~TIconvConverter() override { ::iconv_close(Handle_); }

    bool ToUtf8(const std::string& Bytes, std::string& Utf8) override
    {
        ::iconv(Handle_, nullptr, nullptr, nullptr, nullptr);
        std::string in = Bytes;
        Utf8.assign(in.size() * 4 + 8, '\0');
        char* from = &in[0];
        size_t fromLeft = in.size();
        char* to = &Utf8[0];
        size_t toLeft = Utf8.size();
        if (::iconv(Handle_, &from, &fromLeft, &to, &toLeft) == static_cast<size_t>(-1))
            return false;
        Utf8.resize(Utf8.size() - toLeft);
        return true;
    }

private:
    iconv_t Handle_;
};

}  // namespace

std::unique_ptr<TCodeConverter> MakeCodeConverter(int CodePage)
{
    const std::string name = "CP" + IntToStr(CodePage);
    const iconv_t handle = ::iconv_open("UTF-8", name.c_str());
    if (handle == reinterpret_cast<iconv_t>(-1))
        return nullptr;
    return std::make_unique<TIconvConverter>(handle);
}
