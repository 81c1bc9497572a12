#pragma once

#include <QList>
#include <QMetaType>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <cstddef>
#include <functional>
#include <shared_mutex>

class DynamicObject;

// A method body: called with the receiving object and the message's arguments.
using Implementation = std::function<QVariant(DynamicObject& self, const QVariantList& arguments)>;

// A class of Veltrane's small dynamic-object layer: a name, a superclass, a
// table of methods (selector, type encoding, callable) and declared instance
// variables. Classes are made unregistered through ObjectRuntime, receive
// their instance variables, and are then registered under their name; methods
// can be added at any time. Classes are never destroyed while the process
// runs. Lookups and additions are safe from any thread.
class DynamicClass {
public:
    struct Method {
        QString selector;
        QString types;
        Implementation implementation;
    };
    struct Ivar {
        QString name;
        QString types;
        std::size_t size;
        std::size_t alignment;
    };

    DynamicClass(const DynamicClass&) = delete;
    DynamicClass& operator=(const DynamicClass&) = delete;

    const QString& name() const { return m_name; }
    DynamicClass* superclass() const { return m_superclass; }
    bool isRegistered() const;

    // Adds a method that this class does not define itself (one inherited
    // from a superclass is overridden). False, with nothing changed, when the
    // class already defines the selector or the implementation is empty.
    bool addMethod(const QString& selector, Implementation implementation, const QString& types);

    // Declares an instance variable; only before registration, and only for a
    // name that neither this class nor a superclass declares.
    bool addIvar(const QString& name, std::size_t size, std::size_t alignment,
                 const QString& types);

    // The implementation for the selector, this class's own or the nearest
    // superclass's; empty when none has one.
    Implementation implementation(const QString& selector) const;
    bool respondsTo(const QString& selector) const { return bool(implementation(selector)); }
    bool definesMethod(const QString& selector) const;

    // The instance variable of that name, declared here or in a superclass.
    bool hasInstanceVariable(const QString& name) const;

    // This class's own methods and instance variables, in order of addition.
    QList<Method> methods() const;
    QList<Ivar> ivars() const;

    bool isSubclassOf(const DynamicClass* other) const;

private:
    friend class ObjectRuntimeRegistry;

    DynamicClass(QString name, DynamicClass* superclass);
    void markRegistered();

    const QString m_name;
    DynamicClass* const m_superclass;
    mutable std::shared_mutex m_mutex;
    QList<Method> m_methods;
    QList<Ivar> m_ivars;
    bool m_registered = false;
};

Q_DECLARE_METATYPE(DynamicClass*)
