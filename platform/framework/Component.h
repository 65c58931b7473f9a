#pragma once
// The component model: owner and owned components, name, state flags, free notification.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/rtl/Classes.h"

enum TComponentStateFlag : uint32_t {
    csLoading = 1 << 0,
    csReading = 1 << 1,
    csWriting = 1 << 2,
    csDestroying = 1 << 3,
    csDesigning = 1 << 4,
    csAncestor = 1 << 5,
    csUpdating = 1 << 6,
};
using TComponentState = uint32_t;

enum TOperation { opInsert, opRemove };

// Naming failures ("A component named %s already exists", "'%s' is not a valid component name").
class EComponentError : public Exception {
public:
    using Exception::Exception;
};

class TFiler;

class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* AOwner);
    // Frees the owned components (last first) after notifying the free-notification peers.
    ~TComponent() override;

    TComponent* Owner() const { return FOwner; }
    int ComponentCount() const { return static_cast<int>(FComponents.size()); }
    TComponent* Components(int i) const { return FComponents[i]; }
    TComponent* FindComponent(const std::string& name) const;  // case-insensitive
    // Owned components must be heap-allocated: the owner deletes them.
    void InsertComponent(TComponent* c);
    void RemoveComponent(TComponent* c);

    const std::string& Name() const { return FName; }
    virtual void SetName(const std::string& n);
    TComponentState ComponentState() const { return FComponentState; }
    bool HasState(TComponentStateFlag f) const { return (FComponentState & f) != 0; }
    void SetDesigning(bool v, bool setChildren = true);
    // Marks the component (and its children) as being destroyed. The base destructor does it
    // after the descendants' destructors ran; a descendant that needs the flag set earlier
    // (its children's or its threads' ticks look at it) calls it first in its destructor.
    void Destroying();
    // Frees the owned components, last first. The destructor does it; a descendant whose
    // children use its members calls it first in its own destructor.
    void DestroyComponents();
    // Loading protocol: Loading() sets csLoading, Loaded() clears it.
    virtual void Loading();
    virtual void Loaded();
    // `Tag`.
    intptr_t Tag() const { return FTag; }
    void SetTag(intptr_t t) { FTag = t; }

    // Ask `c` to tell this component (through Notification(opRemove)) when it dies.
    void FreeNotification(TComponent* c);
    void RemoveFreeNotification(TComponent* c);

    // Stored-form support: a component defines the properties it streams by hand.
    virtual void DefineProperties(TFiler* Filer);

protected:
    virtual void Notification(TComponent* AComponent, TOperation Operation);

private:
    void Insert(TComponent* c);
    void Remove(TComponent* c);
    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
    std::string FName;
    TComponentState FComponentState = 0;
    intptr_t FTag = 0;
};
