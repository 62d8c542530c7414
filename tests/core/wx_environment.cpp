// Initialises wxWidgets (a console application object, wxThread's idea of
// the main thread, the pending-event queue) once for the whole test binary.
#include <memory>

#include <gtest/gtest.h>
#include <wx/init.h>

namespace {

class WxEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        initializer_ = std::make_unique<wxInitializer>();
        ASSERT_TRUE(initializer_->IsOk()) << "wxWidgets could not be initialised";
    }
    void TearDown() override { initializer_.reset(); }

private:
    std::unique_ptr<wxInitializer> initializer_;
};

// gtest_main runs the registered environments before the first test.
::testing::Environment* const kWxEnvironment =
    ::testing::AddGlobalTestEnvironment(new WxEnvironment);

}  // namespace
