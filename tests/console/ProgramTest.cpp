// The program's start and finish around the loop.
#include <QGuiApplication>
#include <QScreen>

#include "ConsoleTestSupport.h"
#include "console/Program.h"
#include "console/Screen.h"
#include "console/Unit1.h"
#include "console/Unit2.h"

namespace {

class ProgramTest : public ConsoleTest {};

TEST_F(ProgramTest, StartOpensTheMainWindowAndKeepsTheLifetimeOneHidden) {
    Application()->SetTitle("");
    SetScreenCursor(crVRHandPoint, QCursor(Qt::ArrowCursor));
    ProgramStart();
    ASSERT_NE(Form1, nullptr);
    ASSERT_NE(Form2, nullptr);
    EXPECT_EQ(Application()->Title(), "ANT Zelto");
    EXPECT_EQ(ScreenCursor(crVRHandPoint).shape(), Qt::PointingHandCursor);
    EXPECT_TRUE(Form1->isVisible());
    EXPECT_FALSE(Form2->isVisible());
    const QPoint offCentre =
        Form1->geometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 8);  // up to the frame's margins
    Click(Form1->btn3);
    EXPECT_TRUE(Form2->isVisible());

    // Closing the main window ends the loop; the windows go in reverse order.
    EXPECT_FALSE(Application()->Terminated());
    Form1->close();
    EXPECT_TRUE(Application()->Terminated());
    ProgramFinish();
    EXPECT_EQ(Form1, nullptr);
    EXPECT_EQ(Form2, nullptr);
    Application()->ResetTerminated();
}

}  // namespace
