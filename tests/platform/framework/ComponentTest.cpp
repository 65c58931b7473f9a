// The component model: ownership, destruction order, names and notifications.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/framework/Component.h"

namespace {

struct TLog {
    std::vector<std::string> lines;
};

// Logs its own destruction and the notifications it receives.
class TLogged : public TComponent {
public:
    TLogged(TComponent* owner, const std::string& name, TLog& log) : TComponent(owner), FLog(log) {
        SetName(name);
    }
    ~TLogged() override {
        FLog.lines.push_back("free " + Name() + (HasState(csDestroying) ? " destroying" : "") +
                             (Owner() ? " owned" : ""));
    }

protected:
    void Notification(TComponent* c, TOperation op) override {
        FLog.lines.push_back(Name() + (op == opInsert ? " +" : " -") + c->Name());
        TComponent::Notification(c, op);
    }

private:
    TLog& FLog;
};

TEST(ComponentTest, OwnerFreesItsComponentsLastFirst) {
    TLog log;
    auto* form = new TLogged(nullptr, "Form1", log);
    auto* a = new TLogged(form, "A", log);
    new TLogged(form, "B", log);
    new TLogged(a, "A1", log);
    EXPECT_EQ(form->ComponentCount(), 2);
    log.lines.clear();
    delete form;
    // The children know they are being destroyed before any of them goes, and go last
    // first; the owner hears nothing of children it frees itself.
    EXPECT_EQ(log.lines, (std::vector<std::string>{"free Form1", "free B destroying", "free A destroying",
                                                   "free A1 destroying"}));
}

TEST(ComponentTest, OwnerHearsOfChildrenComingAndGoing) {
    TLog log;
    TLogged form(nullptr, "Form1", log);
    auto* a = new TLogged(&form, "A", log);
    auto* b = new TLogged(&form, "B", log);
    log.lines.clear();
    delete a;
    // The removal goes to the owner and, through it, to the other owned components.
    EXPECT_EQ(log.lines, (std::vector<std::string>{"free A owned", "Form1 -A", "B -A"}));
    EXPECT_EQ(form.ComponentCount(), 1);
    EXPECT_EQ(form.Components(0), b);

    log.lines.clear();
    TLogged other(nullptr, "Other", log);
    other.InsertComponent(b);  // moves from its old owner
    EXPECT_EQ(b->Owner(), &other);
    EXPECT_EQ(form.ComponentCount(), 0);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"Form1 -B", "B -B", "Other +B", "B +B"}));
    other.RemoveComponent(b);
    EXPECT_EQ(b->Owner(), nullptr);
    delete b;
}

TEST(ComponentTest, FreeNotificationReachesPeersOfAnotherOwner) {
    TLog log;
    auto* form1 = new TLogged(nullptr, "Form1", log);
    auto* form2 = new TLogged(nullptr, "Form2", log);
    auto* device = new TLogged(form1, "Device", log);
    auto* user = new TLogged(form2, "User", log);
    user->FreeNotification(device);
    log.lines.clear();
    delete form1;
    EXPECT_EQ(log.lines, (std::vector<std::string>{"free Form1", "free Device destroying", "User -Device"}));
    // The peer forgot the dead one: freeing it now touches nothing stale.
    log.lines.clear();
    delete form2;
    EXPECT_EQ(log.lines, (std::vector<std::string>{"free Form2", "free User destroying"}));
}

TEST(ComponentTest, RemovedFreeNotificationIsSilent) {
    TLog log;
    auto* a = new TLogged(nullptr, "A", log);
    auto* b = new TLogged(nullptr, "B", log);
    a->FreeNotification(b);
    a->RemoveFreeNotification(b);
    log.lines.clear();
    delete b;
    delete a;
    EXPECT_EQ(log.lines, (std::vector<std::string>{"free B", "free A"}));
}

TEST(ComponentTest, NamesAreUniqueAndFoundCaseInsensitively) {
    TLog log;
    TLogged form(nullptr, "Form1", log);
    auto* btn = new TLogged(&form, "Button1", log);
    EXPECT_EQ(form.FindComponent("BUTTON1"), btn);
    EXPECT_EQ(form.FindComponent("button2"), nullptr);
    EXPECT_EQ(form.FindComponent(""), nullptr);

    auto* other = new TLogged(&form, "", log);
    EXPECT_THROW(other->SetName("button1"), EComponentError);
    try {
        other->SetName("1abc");
        FAIL();
    } catch (const EComponentError& e) {
        EXPECT_EQ(e.Message(), "'1abc' is not a valid component name");
    }
    try {
        other->SetName("Button1");
        FAIL();
    } catch (const EComponentError& e) {
        EXPECT_EQ(e.Message(), "A component named Button1 already exists");
    }
    btn->SetName("BUTTON1");  // its own name in another case is fine
    EXPECT_EQ(btn->Name(), "BUTTON1");
}

TEST(ComponentTest, StateFlags) {
    TLog log;
    TLogged form(nullptr, "Form1", log);
    auto* a = new TLogged(&form, "A", log);
    form.SetDesigning(true);
    EXPECT_TRUE(a->HasState(csDesigning));
    auto* b = new TLogged(&form, "B", log);  // joins a designing owner
    EXPECT_TRUE(b->HasState(csDesigning));
    form.SetDesigning(false, false);
    EXPECT_FALSE(form.HasState(csDesigning));
    EXPECT_TRUE(a->HasState(csDesigning));

    form.Loading();
    EXPECT_TRUE(form.HasState(csLoading));
    form.Loaded();
    EXPECT_FALSE(form.HasState(csLoading));
}

}  // namespace
