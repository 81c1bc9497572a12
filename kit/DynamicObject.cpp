#include "kit/DynamicObject.h"

#include "kit/ObjectRuntime.h"
#include "platform/SystemLog.h"

DynamicObject::DynamicObject(DynamicClass* cls) : m_class(cls ? cls : ObjectRuntime::rootClass()) {}

DynamicClass* DynamicObject::setClass(DynamicClass* cls)
{
    if (!cls)
        return objectClass();
    return m_class.exchange(cls);
}

bool DynamicObject::respondsToSelector(const QString& selector) const
{
    return objectClass()->respondsTo(selector);
}

QVariant DynamicObject::send(const QString& selector, const QVariantList& arguments)
{
    DynamicClass* cls = objectClass();
    const Implementation implementation = cls->implementation(selector);
    if (!implementation) {
        SystemLog::log(
            QStringLiteral("-[%1 %2]: unrecognized selector").arg(cls->name(), selector));
        return {};
    }
    return implementation(*this, arguments);
}

bool DynamicObject::instanceVariable(const QString& name, QVariant* value) const
{
    if (!objectClass()->hasInstanceVariable(name))
        return false;
    std::lock_guard lock(m_ivarMutex);
    if (value)
        *value = m_ivarValues.value(name);
    return true;
}

bool DynamicObject::setInstanceVariable(const QString& name, QVariant value)
{
    if (!objectClass()->hasInstanceVariable(name))
        return false;
    std::lock_guard lock(m_ivarMutex);
    m_ivarValues.insert(name, std::move(value));
    return true;
}
