#pragma once

#include "kit/DynamicClass.h"

#include <QHash>
#include <QString>
#include <QVariant>

#include <atomic>
#include <mutex>

// An object of the dynamic-object layer: it answers messages by its class's
// method table, and its class can be switched while it lives (to a subclass
// made for it alone, for instance). Instance-variable values live in a table
// of the object's own, so switching to a class that declares more of them
// needs no new storage; a value can be read or written only while the
// object's class (or a superclass) declares the variable.
class DynamicObject {
public:
    // An object of the class, which must be registered; the root class when
    // none is given.
    explicit DynamicObject(DynamicClass* cls = nullptr);

    DynamicObject(const DynamicObject&) = delete;
    DynamicObject& operator=(const DynamicObject&) = delete;

    DynamicClass* objectClass() const { return m_class.load(); }
    // Switches the object's class and returns the previous one; a missing
    // class changes nothing.
    DynamicClass* setClass(DynamicClass* cls);

    bool respondsToSelector(const QString& selector) const;

    // Runs the class's implementation of the selector. A selector the object
    // does not respond to logs "-[Class selector]: unrecognized selector" and
    // gives an invalid value.
    QVariant send(const QString& selector, const QVariantList& arguments = {});

    // Reads the variable into `value` (invalid if never written); false when
    // the object's class does not declare it.
    bool instanceVariable(const QString& name, QVariant* value) const;
    // Writes the variable; false when the object's class does not declare it.
    bool setInstanceVariable(const QString& name, QVariant value);

private:
    std::atomic<DynamicClass*> m_class;
    mutable std::mutex m_ivarMutex;
    QHash<QString, QVariant> m_ivarValues;
};
