#include "kit/ObjectRuntime.h"

#include "kit/DynamicClass.h"
#include "kit/DynamicObject.h"

#include <QHash>

#include <memory>
#include <mutex>
#include <unordered_map>

// Owns every class for the life of the process.
class ObjectRuntimeRegistry {
public:
    static ObjectRuntimeRegistry& instance()
    {
        static ObjectRuntimeRegistry registry;
        return registry;
    }

    DynamicClass* root() const { return m_root; }

    DynamicClass* allocate(DynamicClass* superclass, const QString& name)
    {
        if (!superclass || name.isEmpty() || !superclass->isRegistered())
            return nullptr;
        std::lock_guard lock(m_mutex);
        if (m_classes.contains(name))
            return nullptr;
        auto cls = std::unique_ptr<DynamicClass>(new DynamicClass(name, superclass));
        DynamicClass* made = cls.get();
        m_classes.emplace(name, std::move(cls));
        return made;
    }

    static void markRegistered(DynamicClass* cls) { cls->markRegistered(); }

    DynamicClass* lookUp(const QString& name) const
    {
        std::lock_guard lock(m_mutex);
        auto found = m_classes.find(name);
        if (found == m_classes.end() || !found->second->isRegistered())
            return nullptr;
        return found->second.get();
    }

private:
    ObjectRuntimeRegistry()
    {
        auto root =
            std::unique_ptr<DynamicClass>(new DynamicClass(QStringLiteral("Object"), nullptr));
        root->addMethod(
            QStringLiteral("description"),
            [](DynamicObject& self, const QVariantList&) -> QVariant {
                return QStringLiteral("<%1: 0x%2>")
                    .arg(self.objectClass()->name())
                    .arg(reinterpret_cast<quintptr>(&self), 0, 16);
            },
            QStringLiteral("@"));
        root->markRegistered();
        m_root = root.get();
        m_classes.emplace(m_root->name(), std::move(root));
    }

    mutable std::mutex m_mutex;
    std::unordered_map<QString, std::unique_ptr<DynamicClass>> m_classes;
    DynamicClass* m_root = nullptr;
};

namespace ObjectRuntime {

DynamicClass* rootClass()
{
    return ObjectRuntimeRegistry::instance().root();
}

DynamicClass* allocateClassPair(DynamicClass* superclass, const QString& name)
{
    return ObjectRuntimeRegistry::instance().allocate(superclass, name);
}

void registerClassPair(DynamicClass* cls)
{
    if (cls)
        ObjectRuntimeRegistry::markRegistered(cls);
}

DynamicClass* lookUpClass(const QString& name)
{
    return ObjectRuntimeRegistry::instance().lookUp(name);
}

} // namespace ObjectRuntime
