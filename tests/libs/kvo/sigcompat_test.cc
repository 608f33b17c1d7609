#include <kvo/sigcompat.h>

#include <gtest/gtest.h>

#include <string>

namespace {

struct Listener : public SigC::Object {
    int sum = 0;
    std::string last;
    void add(int a, int b) { sum += a + b; }
    void text(const std::string& s) { last = s; }
};

int g_calls = 0;
void bump() { ++g_calls; }

} // namespace

TEST(SigCompat, MemberAndFreeSlotsReceiveEmissions) {
    SigC::Signal2<void, int, int> added;
    SigC::Signal1<void, const std::string&> said;
    SigC::Signal0<void> ticked;
    Listener l;
    added.connect(SigC::slot(l, &Listener::add));
    said.connect(SigC::slot(l, &Listener::text));
    ticked.connect(SigC::slot(&bump));

    added.emit(2, 3);
    added(4, 1);
    said("hello");
    ticked();
    EXPECT_EQ(l.sum, 10);
    EXPECT_EQ(l.last, "hello");
    EXPECT_EQ(g_calls, 1);
}

TEST(SigCompat, DisconnectedAndDestroyedTargetsAreNotCalled) {
    SigC::Signal2<void, int, int> added;
    Listener kept;
    SigC::Connection c = added.connect(SigC::slot(kept, &Listener::add));
    {
        Listener gone;
        added.connect(SigC::slot(gone, &Listener::add));
    }
    added(1, 1);
    EXPECT_EQ(kept.sum, 2);
    c.disconnect();
    added(1, 1);
    EXPECT_EQ(kept.sum, 2);
    EXPECT_TRUE(added.empty());
}
