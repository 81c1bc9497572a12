#include "kit/BlackMagic.h"
#include "kit/DynamicClass.h"
#include "kit/DynamicObject.h"
#include "kit/ObjectRuntime.h"
#include "platform/SystemLog.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

// A registered class with a "description" of its own, under a name unique to the test.
DynamicClass* makeClass(const QString& name, const QString& description)
{
    DynamicClass* cls = ObjectRuntime::allocateClassPair(ObjectRuntime::rootClass(), name);
    EXPECT_TRUE(cls) << name.toStdString();
    cls->addMethod(
        "description",
        [description](DynamicObject&, const QVariantList&) { return QVariant(description); }, "@");
    ObjectRuntime::registerClassPair(cls);
    return cls;
}

Implementation returning(const QString& text)
{
    return [text](DynamicObject&, const QVariantList&) { return QVariant(text); };
}

QString describe(DynamicObject& object)
{
    return object.send("description").toString();
}

// Collects log lines for the life of the object.
struct LogCapture {
    QStringList lines;
    LogCapture()
    {
        SystemLog::setSink([this](const QString& line) { lines.append(line); });
    }
    ~LogCapture() { SystemLog::setSink({}); }
};

} // namespace

TEST(ObjectRuntime, ClassesAreMadeInTwoStepsAndNamesAreUnique)
{
    DynamicClass* cls = ObjectRuntime::allocateClassPair(ObjectRuntime::rootClass(), "RtPair");
    ASSERT_TRUE(cls);
    EXPECT_EQ(ObjectRuntime::lookUpClass("RtPair"), nullptr); // not registered yet
    EXPECT_EQ(ObjectRuntime::allocateClassPair(ObjectRuntime::rootClass(), "RtPair"), nullptr);
    EXPECT_EQ(ObjectRuntime::allocateClassPair(cls, "RtUnderUnregistered"), nullptr);
    EXPECT_TRUE(cls->addIvar("count", 4, 4, "i"));
    EXPECT_FALSE(cls->addIvar("count", 4, 4, "i"));
    ObjectRuntime::registerClassPair(cls);
    EXPECT_EQ(ObjectRuntime::lookUpClass("RtPair"), cls);
    EXPECT_FALSE(cls->addIvar("late", 4, 4, "i")); // the layout is fixed once registered
    EXPECT_EQ(cls->superclass(), ObjectRuntime::rootClass());

    DynamicObject object(cls);
    EXPECT_TRUE(object.setInstanceVariable("count", 3));
    QVariant value;
    EXPECT_TRUE(object.instanceVariable("count", &value));
    EXPECT_EQ(value.toInt(), 3);
    EXPECT_FALSE(object.setInstanceVariable("missing", 1));
    EXPECT_TRUE(describe(object).startsWith("<RtPair: 0x"));
}

TEST(ObjectRuntime, UnknownSelectorIsLoggedAndGivesNothing)
{
    LogCapture log;
    DynamicObject object;
    EXPECT_FALSE(object.send("frobnicate").isValid());
    EXPECT_EQ(log.lines, QStringList({"-[Object frobnicate]: unrecognized selector"}));
}

TEST(BlackMagic, OverridesGiveTheObjectStackedSubclassesAndLeaveSiblingsAlone)
{
    DynamicClass* cls = makeClass("BmPlain", "plain");
    DynamicObject changed(cls);
    DynamicObject sibling(cls);
    BlackMagic::overrideSelector(changed, "description", returning("changed"));
    DynamicClass* first = changed.objectClass();
    EXPECT_EQ(describe(changed), "changed");
    EXPECT_EQ(describe(sibling), "plain");
    EXPECT_EQ(sibling.objectClass(), cls);
    EXPECT_EQ(first->name(), "BmPlain_$666");
    EXPECT_EQ(first->superclass(), cls);
    EXPECT_EQ(ObjectRuntime::lookUpClass("BmPlain_$666"), first);
    EXPECT_FALSE(sibling.instanceVariable(BlackMagic::kRootClassField, nullptr));

    // The sibling takes the next free number; a further override of the
    // first object stacks on its subclass and skips that number.
    BlackMagic::overrideSelector(sibling, "description", returning("sibling"));
    EXPECT_EQ(sibling.objectClass()->name(), "BmPlain_$667");
    EXPECT_EQ(sibling.objectClass()->superclass(), cls);
    BlackMagic::overrideSelector(changed, "description", returning("again"));
    EXPECT_EQ(changed.objectClass()->name(), "BmPlain_$668");
    EXPECT_EQ(changed.objectClass()->superclass(), first);
    EXPECT_EQ(describe(changed), "again");
    EXPECT_EQ(describe(sibling), "sibling");
    // The fields are declared once, by the first subclass, and inherited.
    EXPECT_TRUE(changed.objectClass()->ivars().isEmpty());
    QVariant root;
    QVariant counter;
    ASSERT_TRUE(changed.instanceVariable(BlackMagic::kRootClassField, &root));
    ASSERT_TRUE(changed.instanceVariable(BlackMagic::kSubclassCounterField, &counter));
    EXPECT_EQ(root.value<DynamicClass*>(), cls);
    EXPECT_EQ(counter.toInt(), 668);
}

TEST(BlackMagic, ASelectorTheObjectLacksGoesToItsWholeClass)
{
    DynamicClass* cls = makeClass("BmAdd", "base");
    DynamicObject object(cls);
    DynamicObject other(cls);
    BlackMagic::overrideSelector(object, "greet", returning("hello"));
    EXPECT_EQ(object.objectClass(), cls); // no subclass for a new selector
    EXPECT_EQ(other.send("greet").toString(), "hello");
    EXPECT_EQ(cls->methods().last().types, "@");
}

TEST(BlackMagic, ClassOverrideAddsOnlyWhatTheClassDoesNotDefineItself)
{
    DynamicClass* cls = makeClass("BmClassWide", "own");
    DynamicClass* sub = ObjectRuntime::allocateClassPair(cls, "BmClassWideSub");
    ObjectRuntime::registerClassPair(sub);
    DynamicObject object(sub);

    BlackMagic::overrideSelector(cls, "description", returning("replaced"));
    EXPECT_EQ(describe(object), "own"); // cls defines it: unchanged

    BlackMagic::overrideSelector(sub, "description", returning("sub"));
    EXPECT_EQ(describe(object), "sub"); // inherited only: the subclass gets its own
    DynamicObject parent(cls);
    EXPECT_EQ(describe(parent), "own");
}

TEST(BlackMagic, MakeSelectorAddsOnlyWhatIsMissingAndReturnsTheSelector)
{
    DynamicClass* cls = makeClass("BmMake", "own");
    DynamicObject object(cls);
    const auto before = cls->methods().size();
    EXPECT_EQ(BlackMagic::makeSelector(object, "description", returning("new")), "description");
    EXPECT_EQ(cls->methods().size(), before);
    EXPECT_EQ(describe(object), "own");

    EXPECT_EQ(BlackMagic::makeSelector(
                  object, "size",
                  [](DynamicObject&, const QVariantList& args) { return QVariant(args.size()); }),
              "size");
    DynamicObject other(cls);
    EXPECT_EQ(other.send("size", {1, 2, 3}).toInt(), 3);
}
