#include "feedback/NavigationView.h"
#include "feedback/ProgressView.h"
#include "support/ControllerFixture.h"

using namespace tevra;
using tevra::test::ControllerFixture;

class NavigationChrome : public ControllerFixture {
protected:
    void SetUp() override {
        ControllerFixture::SetUp();
        manual = std::make_shared<fake::FakeAnimator>(fake::FakeAnimator::Mode::Manual);
        fake->platform->animator = manual;
        make();
        controller->initNavigation();
        while (manual->pendingCount()) manual->runNext(true);
    }
    static Color rgb(double r, double g, double b) { return {r / 255, g / 255, b / 255, 1}; }
    std::shared_ptr<fake::FakeAnimator> manual;
};

TEST_F(NavigationChrome, CreatesThePiecesInOrderWithZeroHeight) {
    auto& subs = hostView->subviews();
    ASSERT_EQ(subs.size(), 8u);
    EXPECT_EQ(subs[3], controller->navigationBacking);
    EXPECT_EQ(subs[4], controller->urlTextField);
    EXPECT_EQ(subs[5], controller->backButton);
    EXPECT_EQ(subs[6], controller->refreshButton);
    EXPECT_EQ(subs[7], controller->progressView);
    EXPECT_EQ(controller->backButton->imageName(), "BackIcon");
    EXPECT_EQ(controller->refreshButton->imageName(), "RefreshIcon");
    EXPECT_EQ(controller->navigationBacking->backgroundColor(), Color::white());
    EXPECT_TRUE(controller->urlTextField->configuredForURLs());
    EXPECT_EQ(controller->progressView->progressBackgroundColor(), rgb(187, 222, 251));
    EXPECT_EQ(controller->progressView->progressFillColor(), rgb(33, 150, 243));
    controller->updateInterface();
    EXPECT_EQ(controller->urlTextField->frame(), (Rect{0, 0, 390, 0}));
    EXPECT_EQ(controller->progressView->frame(), (Rect{0, 0, 390, 0}));
    EXPECT_EQ(controller->refreshButton->frame(), (Rect{390, 0, 0, 0}));
    EXPECT_EQ(controller->urlTextField->fontSize(), 17);
}

TEST_F(NavigationChrome, ProgressMirrorsTheLoadUntilItFails) {
    page().simulateStartProvisional();
    EXPECT_EQ(manual->runAll(), 1u);  // the value reset, without animation but through the animator
    EXPECT_EQ(manual->requestedDurations().back(), 0.0);
    page().simulateProgress(0.4);
    EXPECT_FLOAT_EQ(controller->progressView->progressValue(), 0.4f);
    page().simulateFail(-1004, "Could not connect to the server.", true);
    ASSERT_EQ(manual->pendingCount(), 1u);  // the value animates to where the load stopped
    manual->runNext(true);
    EXPECT_FLOAT_EQ(controller->progressView->progressValue(), 0.4f);
    EXPECT_EQ(controller->progressView->progressFillColor(), rgb(244, 67, 54));
    EXPECT_EQ(controller->progressView->progressBackgroundColor(), rgb(255, 205, 210));
    ASSERT_EQ(manual->pendingCount(), 1u);  // then the bar hides
    manual->runNext(true);
    EXPECT_TRUE(controller->progressView->isHidden());
    // Late progress of the failed load does not move the bar.
    page().simulateProgress(0.9);
    EXPECT_FLOAT_EQ(controller->progressView->progressValue(), 0.4f);
}

TEST_F(NavigationChrome, FinishShowsTheURLAndCompletesTheBar) {
    page().loadRequest("https://example.org/a");
    page().simulateStartProvisional();
    EXPECT_FALSE(controller->progressView->isHidden());
    page().simulateFinish();
    EXPECT_EQ(controller->urlTextField->text(), "https://example.org/a");
    while (manual->pendingCount()) manual->runNext(true);
    EXPECT_FLOAT_EQ(controller->progressView->progressValue(), 1.0f);
    EXPECT_TRUE(controller->progressView->isHidden());
}

TEST_F(NavigationChrome, ReturnKeyLoadsOrKeepsTheKeyboard) {
    auto& field = *controller->urlTextField;
    field.setText("not a page");
    field.beginEditing();
    EXPECT_TRUE(controller->urlTextFieldActive);
    EXPECT_FALSE(field.pressReturn());
    EXPECT_TRUE(field.isEditing());
    EXPECT_EQ(field.text(), "not a page");
    field.setText("example.org");
    EXPECT_TRUE(field.pressReturn());
    EXPECT_FALSE(field.isEditing());
    EXPECT_FALSE(controller->urlTextFieldActive);
    EXPECT_EQ(page().loadedURLs().back(), "http://example.org");
    EXPECT_EQ(fake->defaults->stringForKey("url"), "example.org");
}

TEST_F(NavigationChrome, CompactDeviceShrinksTheFontOutsideEditingInPortrait) {
    controller->iPhoneXDevice = true;
    controller->interfaceOrientation = UIInterfaceOrientationPortrait;
    controller->updateInterface();
    EXPECT_EQ(controller->urlTextField->fontSize(), 12);
    controller->urlTextField->beginEditing();
    EXPECT_EQ(controller->urlTextField->fontSize(), 17);
    controller->urlTextField->resignFirstResponder();
    EXPECT_EQ(controller->urlTextField->fontSize(), 12);
    controller->interfaceOrientation = UIInterfaceOrientationLandscapeLeft;
    controller->urlTextField->beginEditing();
    controller->urlTextField->resignFirstResponder();
    EXPECT_EQ(controller->urlTextField->fontSize(), 17);
}

TEST_F(NavigationChrome, BackShowsTheBackItemFirst) {
    page().loadRequest("https://example.org/1");
    page().loadRequest("https://example.org/2");
    controller->backButton->touchDown();
    EXPECT_EQ(controller->urlTextField->text(), "https://example.org/1");
    EXPECT_EQ(page().URL(), "https://example.org/1");
    controller->refreshButton->touchDown();
    EXPECT_EQ(fake->transcript->linesWithPrefix("NAV").back(), "reload");
}

TEST_F(NavigationChrome, CompletionAfterTheControllerIsGoneHidesNothing) {
    page().simulateStartProvisional();
    page().simulateFinish();
    auto bar = controller->progressView;
    controller.reset();
    while (manual->pendingCount()) manual->runNext(true);
    EXPECT_FALSE(bar->isHidden());
}

TEST_F(NavigationChrome, TheBarsNoticesReachThePlatformsAccessibilityService) {
    auto& notices = fake->accessibility->notices();
    EXPECT_TRUE(notices.empty()) << "the bar starts shown: nothing changed";
    page().simulateStartProvisional();
    page().simulateFinish();
    while (manual->pendingCount()) manual->runNext(true);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].focusElement, nullptr) << "hidden after the load: no element to move to";
    EXPECT_EQ(notices[0].focusLabel, "");

    // The next load shows the bar again, and the reader moves to it.
    page().simulateStartProvisional();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[1].focusElement, controller->progressView.get());
    EXPECT_EQ(notices[1].focusLabel, "Page loading");
}
