// Model lists of the update descriptions.
#include "update/UpdateModel.h"

#include "common/Text.h"

namespace {

std::wstring_view Trim(std::wstring_view s) {
    while (!s.empty() && text::IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && text::IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

std::vector<std::wstring> ParseModelList(std::wstring_view list) {
    std::vector<std::wstring> models;
    std::size_t p = 0;
    while (p < list.size()) {
        std::size_t comma = list.find(L',', p);
        if (comma == std::wstring_view::npos) comma = list.size();
        models.emplace_back(Trim(list.substr(p, comma - p)));
        p = comma + 1;
    }
    return models;
}

bool MatchesModelList(const std::vector<std::wstring>& models, std::wstring_view name, bool suffix) {
    for (const std::wstring& entry : models) {
        if (!suffix) {
            if (entry == name) return true;
        } else if (entry.empty() ? name.empty() : name.ends_with(entry)) {
            return true;
        }
    }
    return false;
}

int QueryReplyToVerify(CPort& port, const std::vector<std::wstring>& models, ReplyMap& reply) {
    std::wstring text;
    if (!port.queryInformation(text)) return kCheckQueryFailed;
    if (!ParseDeviceReply(reply, text)) return kCheckNoAnswer;
    if (IsReplyIplMode(reply)) return kCheckIplMode;
    const std::wstring* model = FindReplyValue(reply, L"MDL");
    if (!model) return kCheckNoAnswer;
    if (!MatchesModelList(models, *model, false)) return kCheckNoModel;
    return kCheckOk;
}
