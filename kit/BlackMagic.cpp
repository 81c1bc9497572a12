#include "kit/BlackMagic.h"

#include "kit/DynamicObject.h"
#include "kit/ObjectRuntime.h"
#include "platform/SystemLog.h"

#include <limits>

namespace BlackMagic {
namespace {

const QString kMethodTypes = QStringLiteral("@");

// A new subclass of `superclass` named from `rootName` and the counter. A
// name that another object's subclass (or any other class) already has is
// skipped for the next free number: taking over that class would change the
// other object's behaviour. Updates `counter` to the number used.
DynamicClass* allocateSubclass(DynamicClass* superclass, const QString& rootName, int& counter)
{
    const QByteArray root = rootName.toUtf8();
    for (;;) {
        const QString name = QString::asprintf("%s_$%d", root.constData(), counter);
        if (DynamicClass* made = ObjectRuntime::allocateClassPair(superclass, name))
            return made;
        if (counter == std::numeric_limits<int>::max())
            return nullptr;
        ++counter;
    }
}

// Moves the object into a subclass of its current class made for it alone.
bool isolate(DynamicObject& object)
{
    DynamicClass* current = object.objectClass();
    QVariant rootValue;
    DynamicClass* root = nullptr;
    if (object.instanceVariable(kRootClassField, &rootValue))
        root = rootValue.value<DynamicClass*>();

    if (root) {
        QVariant counterValue;
        object.instanceVariable(kSubclassCounterField, &counterValue);
        int counter = counterValue.toInt();
        if (counter == std::numeric_limits<int>::max())
            return false;
        ++counter;
        DynamicClass* subclass = allocateSubclass(current, root->name(), counter);
        if (!subclass)
            return false;
        ObjectRuntime::registerClassPair(subclass);
        object.setClass(subclass);
        object.setInstanceVariable(kSubclassCounterField, counter);
        return true;
    }

    int counter = kFirstSubclassCounter;
    DynamicClass* subclass = allocateSubclass(current, current->name(), counter);
    if (!subclass)
        return false;
    subclass->addIvar(kRootClassField, 8, 8, QStringLiteral("#"));
    subclass->addIvar(kSubclassCounterField, 4, 4, QStringLiteral("i"));
    ObjectRuntime::registerClassPair(subclass);
    object.setClass(subclass);
    object.setInstanceVariable(kRootClassField, QVariant::fromValue(current));
    object.setInstanceVariable(kSubclassCounterField, counter);
    return true;
}

} // namespace

void overrideSelector(DynamicObject& object, const QString& selector, Implementation block)
{
    if (object.respondsToSelector(selector) && !isolate(object)) {
        SystemLog::log(QStringLiteral("overrideSelector: no free subclass name for %1")
                           .arg(object.objectClass()->name()));
        return;
    }
    object.objectClass()->addMethod(selector, std::move(block), kMethodTypes);
}

void overrideSelector(DynamicClass* cls, const QString& selector, Implementation block)
{
    if (cls)
        cls->addMethod(selector, std::move(block), kMethodTypes);
}

QString makeSelector(DynamicObject& object, const QString& name, Implementation block)
{
    if (!object.respondsToSelector(name))
        object.objectClass()->addMethod(name, std::move(block), kMethodTypes);
    return name;
}

void dumpMethods(const DynamicClass* cls)
{
    if (!cls)
        return;
    SystemLog::log(QStringLiteral("\n\n  Methods %1").arg(cls->name()));
    for (const DynamicClass::Method& method : cls->methods())
        SystemLog::log(QStringLiteral("%1 %2").arg(method.selector, method.types));
    SystemLog::log(QStringLiteral("\n\n"));
}

void dumpIvars(const DynamicClass* cls)
{
    if (!cls)
        return;
    SystemLog::log(QStringLiteral("\n\n  Ivars %1").arg(cls->name()));
    for (const DynamicClass::Ivar& ivar : cls->ivars())
        SystemLog::log(QStringLiteral("%1 %2").arg(ivar.name, ivar.types));
    SystemLog::log(QStringLiteral("\n\n"));
}

} // namespace BlackMagic
