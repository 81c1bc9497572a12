#include "kit/DynamicClass.h"

#include <mutex>

DynamicClass::DynamicClass(QString name, DynamicClass* superclass)
    : m_name(std::move(name)), m_superclass(superclass)
{
}

bool DynamicClass::isRegistered() const
{
    std::shared_lock lock(m_mutex);
    return m_registered;
}

void DynamicClass::markRegistered()
{
    std::unique_lock lock(m_mutex);
    m_registered = true;
}

bool DynamicClass::addMethod(const QString& selector, Implementation implementation,
                             const QString& types)
{
    if (!implementation || selector.isEmpty())
        return false;
    std::unique_lock lock(m_mutex);
    for (const Method& method : m_methods) {
        if (method.selector == selector)
            return false;
    }
    m_methods.append({selector, types, std::move(implementation)});
    return true;
}

bool DynamicClass::addIvar(const QString& name, std::size_t size, std::size_t alignment,
                           const QString& types)
{
    if (name.isEmpty() || (m_superclass && m_superclass->hasInstanceVariable(name)))
        return false;
    std::unique_lock lock(m_mutex);
    if (m_registered)
        return false;
    for (const Ivar& ivar : m_ivars) {
        if (ivar.name == name)
            return false;
    }
    m_ivars.append({name, types, size, alignment});
    return true;
}

Implementation DynamicClass::implementation(const QString& selector) const
{
    for (const DynamicClass* cls = this; cls; cls = cls->m_superclass) {
        std::shared_lock lock(cls->m_mutex);
        for (const Method& method : cls->m_methods) {
            if (method.selector == selector)
                return method.implementation;
        }
    }
    return {};
}

bool DynamicClass::definesMethod(const QString& selector) const
{
    std::shared_lock lock(m_mutex);
    for (const Method& method : m_methods) {
        if (method.selector == selector)
            return true;
    }
    return false;
}

bool DynamicClass::hasInstanceVariable(const QString& name) const
{
    for (const DynamicClass* cls = this; cls; cls = cls->m_superclass) {
        std::shared_lock lock(cls->m_mutex);
        for (const Ivar& ivar : cls->m_ivars) {
            if (ivar.name == name)
                return true;
        }
    }
    return false;
}

QList<DynamicClass::Method> DynamicClass::methods() const
{
    std::shared_lock lock(m_mutex);
    return m_methods;
}

QList<DynamicClass::Ivar> DynamicClass::ivars() const
{
    std::shared_lock lock(m_mutex);
    return m_ivars;
}

bool DynamicClass::isSubclassOf(const DynamicClass* other) const
{
    for (const DynamicClass* cls = this; cls; cls = cls->m_superclass) {
        if (cls == other)
            return true;
    }
    return false;
}
