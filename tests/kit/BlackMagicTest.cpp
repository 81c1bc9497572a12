#include "kit/BlackMagic.h"
#include "TestSupport.h"
#include "kit/DynamicClass.h"
#include "kit/DynamicObject.h"
#include "kit/ObjectRuntime.h"

#include <gtest/gtest.h>

namespace {

Implementation returning(const QString& text)
{
    return [text](DynamicObject&, const QVariantList&) { return QVariant(text); };
}

// A registered class with a "description" of its own, under a name unique to the test.
DynamicClass* makeClass(const QString& name, const QString& description)
{
    DynamicClass* cls = ObjectRuntime::allocateClassPair(ObjectRuntime::rootClass(), name);
    EXPECT_TRUE(cls) << name.toStdString();
    cls->addMethod("description", returning(description), "@");
    ObjectRuntime::registerClassPair(cls);
    return cls;
}

QString describe(DynamicObject& object)
{
    return object.send("description").toString();
}

} // namespace

TEST(ObjectRuntime, ClassesAreMadeInTwoStepsAndUnknownSelectorsAreLogged)
{
    DynamicClass* cls = ObjectRuntime::allocateClassPair(ObjectRuntime::rootClass(), "RtPair");
    ASSERT_TRUE(cls);
    EXPECT_EQ(ObjectRuntime::lookUpClass("RtPair"), nullptr); // not registered yet
    EXPECT_EQ(ObjectRuntime::allocateClassPair(ObjectRuntime::rootClass(), "RtPair"), nullptr);
    EXPECT_TRUE(cls->addIvar("count", 4, 4, "i"));
    ObjectRuntime::registerClassPair(cls);
    EXPECT_EQ(ObjectRuntime::lookUpClass("RtPair"), cls);
    EXPECT_FALSE(cls->addIvar("late", 4, 4, "i")); // the layout is fixed once registered

    DynamicObject object(cls);
    EXPECT_TRUE(object.setInstanceVariable("count", 3));
    QVariant value;
    EXPECT_TRUE(object.instanceVariable("count", &value));
    EXPECT_EQ(value.toInt(), 3);

    testsupport::LogCapture log;
    EXPECT_FALSE(DynamicObject().send("frobnicate").isValid());
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
    EXPECT_EQ(first->name(), "BmPlain_$666");
    EXPECT_EQ(first->superclass(), cls);

    // The sibling takes the next free number; a further override of the
    // first object stacks on its subclass and skips that number.
    BlackMagic::overrideSelector(sibling, "description", returning("sibling"));
    EXPECT_EQ(sibling.objectClass()->name(), "BmPlain_$667");
    BlackMagic::overrideSelector(changed, "description", returning("again"));
    EXPECT_EQ(changed.objectClass()->name(), "BmPlain_$668");
    EXPECT_EQ(changed.objectClass()->superclass(), first);
    EXPECT_EQ(describe(changed), "again");
    EXPECT_EQ(describe(sibling), "sibling");
}

TEST(BlackMagic, SelectorsTheClassLacksGoToTheWholeClassAndOwnOnesStay)
{
    DynamicClass* cls = makeClass("BmAdd", "own");
    DynamicObject object(cls);
    DynamicObject other(cls);
    BlackMagic::overrideSelector(object, "greet", returning("hello"));
    EXPECT_EQ(object.objectClass(), cls); // no subclass for a new selector
    EXPECT_EQ(other.send("greet").toString(), "hello");

    // makeSelector adds only what is missing.
    EXPECT_EQ(BlackMagic::makeSelector(object, "description", returning("new")), "description");
    EXPECT_EQ(describe(object), "own");

    // A class-wide override leaves a class's own method alone; a subclass
    // that only inherits it gets its own.
    DynamicClass* sub = ObjectRuntime::allocateClassPair(cls, "BmAddSub");
    ObjectRuntime::registerClassPair(sub);
    DynamicObject child(sub);
    BlackMagic::overrideSelector(cls, "description", returning("replaced"));
    EXPECT_EQ(describe(child), "own");
    BlackMagic::overrideSelector(sub, "description", returning("sub"));
    EXPECT_EQ(describe(child), "sub");
    EXPECT_EQ(describe(other), "own");
}
