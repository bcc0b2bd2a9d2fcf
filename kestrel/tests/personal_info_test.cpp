// The personal information form of a first start: it stays open until both fields are filled,
// and keeps at most 29 characters of each.
#include "kestrel/personal_info.h"

#include <gtest/gtest.h>

#include "ui/recording_view.h"

namespace zep::kestrel {
namespace {

TEST(PersonalInformation, OkKeepsTheFormOpenUntilBothFieldsAreFilled) {
  KestrelSettings s;
  ASSERT_TRUE(PersonalInfoForm::needed(s)) << "a first start has neither";
  PersonalInfoForm form(s);
  ui::RecordingView view;
  form.attach(view);
  form.onText("Your name:", "dave");
  form.onClick("OK");
  ASSERT_EQ(view.boxes.size(), 1u);
  EXPECT_EQ(view.boxes[0].text, "You must fill all the fields");
  EXPECT_FALSE(view.closed) << "an empty e-mail address keeps it open";
  form.onText("Your name:", "");
  form.onText("Email address:", "dave@example.org");
  form.onClick("OK");
  EXPECT_EQ(view.boxes.size(), 2u) << "an empty name too";
  EXPECT_FALSE(view.closed);
  form.onText("Your name:", std::string(40, 'n'));
  form.onClick("OK");
  EXPECT_TRUE(view.closed);
  EXPECT_EQ(s.name, std::string(29, 'n'));
  EXPECT_EQ(s.email, "dave@example.org");
  EXPECT_FALSE(PersonalInfoForm::needed(s));
}

}  // namespace
}  // namespace zep::kestrel
