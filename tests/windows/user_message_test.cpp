// Message boxes of the lower layers: through the presenter start-up registers, and without one as
// a line on standard error that nobody has to answer. A box left open on one thread must not hold
// up a message of another thread, nor a change of presenter.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/win32/UserMessage.h"

namespace {

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

struct Shown {
    std::wstring text;
    std::wstring title;
    unsigned style;
    bool operator==(const Shown&) const = default;
};

class UserMessage : public testing::Test {
protected:
    void TearDown() override { SetUserMessagePresenter({}); }
};

TEST_F(UserMessage, WithoutAPresenterItIsOneLineOnStandardErrorAndNothingWaits) {
    const struct {
        std::wstring text;
        std::wstring title;
        std::string line;
    } cases[] = {
        {L"Cannot write C:\\Temp\\Tessaro.DLL: Sharing violation.", L"Corvane Firmware Installer",
         "[Corvane Firmware Installer] Cannot write C:\\Temp\\Tessaro.DLL: Sharing violation."},
        // Japanese whatever the code page, and the line breaks of a longer text on the one line.
        {L"証明書が見つからなかったため、\r\nインストールを\nキャンセルします。", L"",
         Utf8(u8"証明書が見つからなかったため、 インストールを キャンセルします。")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ShowUserMessage(c.text, c.title, MB_OK | MB_ICONERROR), IDCANCEL);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "A message box was not shown (nothing is registered to show it): " + c.line + "\n");
    }
}

TEST_F(UserMessage, TheRegisteredPresenterShowsItAndGivesTheAnswerUntilItIsForgotten) {
    std::vector<Shown> shown;
    SetUserMessagePresenter([&](const std::wstring& text, const std::wstring& title, unsigned style) {
        shown.push_back({text, title, style});
        return style & MB_YESNO ? IDYES : IDOK;
    });
    EXPECT_EQ(ShowUserMessage(L"Done.", L"Title", MB_OK), IDOK);
    EXPECT_EQ(ShowUserMessage(L"Go on?", L"", MB_YESNO | MB_ICONQUESTION), IDYES);
    EXPECT_EQ(shown, (std::vector<Shown>{{L"Done.", L"Title", MB_OK}, {L"Go on?", L"", MB_YESNO | MB_ICONQUESTION}}));

    SetUserMessagePresenter({});
    testing::internal::CaptureStderr();
    EXPECT_EQ(ShowUserMessage(L"Nobody sees this.", L"Title", MB_OK), IDCANCEL);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Nobody sees this."), std::string::npos);
    EXPECT_EQ(shown.size(), 2u);
}

// The worker's box waits for the user; meanwhile the user-interface thread shows one of its own
// and start-up's end replaces the presenter. Neither may wait for the first box, and the first
// presenter stays whole until its box is answered.
TEST_F(UserMessage, ABoxLeftOpenHoldsUpNoOtherMessageNorAChangeOfPresenter) {
    std::promise<void> firstOpen;
    std::promise<void> answerFirst;
    std::shared_future<void> answered = answerFirst.get_future().share();
    auto alive = std::make_shared<int>(1);
    SetUserMessagePresenter([&firstOpen, answered, alive](const std::wstring&, const std::wstring&, unsigned) {
        firstOpen.set_value();
        const bool answeredInTime = answered.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        return answeredInTime && *alive == 1 ? IDRETRY : IDABORT;
    });
    std::weak_ptr<int> presenterState = alive;
    alive.reset();

    std::future<int> worker = std::async(std::launch::async, [] { return ShowUserMessage(L"first", L"", MB_OK); });
    ASSERT_EQ(firstOpen.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);

    std::vector<std::wstring> second;
    SetUserMessagePresenter([&](const std::wstring& text, const std::wstring&, unsigned) {
        second.push_back(text);
        return IDOK;
    });
    EXPECT_EQ(ShowUserMessage(L"second", L"", MB_OK), IDOK);
    EXPECT_EQ(second, std::vector<std::wstring>{L"second"});
    EXPECT_FALSE(presenterState.expired()) << "the open box's presenter went while it was showing";

    answerFirst.set_value();
    EXPECT_EQ(worker.get(), IDRETRY);
    EXPECT_TRUE(presenterState.expired()) << "the replaced presenter outlived its last box";
}

}  // namespace
