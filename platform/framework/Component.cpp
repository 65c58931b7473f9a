// The component model: ownership, names, state flags and free notification.
#include "platform/framework/Component.h"

#include <algorithm>

namespace {
bool IsValidIdent(const std::string& s) {
    if (s.empty()) return false;
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    if (!alpha(s[0])) return false;
    for (char c : s)
        if (!alpha(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

void EraseOne(std::vector<TComponent*>& v, TComponent* c) {
    auto it = std::find(v.begin(), v.end(), c);
    if (it != v.end()) v.erase(it);
}
}  // namespace

TComponent::TComponent(TComponent* AOwner) {
    if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
    Destroying();
    // Peers first, last first; each forgets us before it hears of our end.
    while (!FFreeNotifies.empty()) {
        TComponent* peer = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        EraseOne(peer->FFreeNotifies, this);
        peer->Notification(this, opRemove);
    }
    DestroyComponents();
    if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::DestroyComponents() {
    while (!FComponents.empty()) {
        TComponent* c = FComponents.back();
        Remove(c);
        delete c;
    }
}

TComponent* TComponent::FindComponent(const std::string& name) const {
    if (name.empty()) return nullptr;
    for (TComponent* c : FComponents)
        if (SameText(c->FName, name)) return c;
    return nullptr;
}

void TComponent::InsertComponent(TComponent* c) {
    if (!c || c->FOwner == this) return;
    if (!c->FName.empty() && FindComponent(c->FName))
        throw EComponentError(Format("A component named %s already exists", c->FName));
    if (c->FOwner) c->FOwner->RemoveComponent(c);
    Insert(c);
    if (HasState(csDesigning)) c->SetDesigning(true);
    Notification(c, opInsert);
}

void TComponent::RemoveComponent(TComponent* c) {
    if (!c || c->FOwner != this) return;
    Notification(c, opRemove);
    Remove(c);
}

void TComponent::Insert(TComponent* c) {
    FComponents.push_back(c);
    c->FOwner = this;
}

void TComponent::Remove(TComponent* c) {
    EraseOne(FComponents, c);
    c->FOwner = nullptr;
}

void TComponent::SetName(const std::string& n) {
    if (n == FName) return;
    if (!n.empty() && !IsValidIdent(n))
        throw EComponentError(Format("'%s' is not a valid component name", n));
    if (FOwner && !n.empty() && !SameText(n, FName)) {
        TComponent* other = FOwner->FindComponent(n);
        if (other && other != this) throw EComponentError(Format("A component named %s already exists", n));
    }
    FName = n;
}

void TComponent::SetDesigning(bool v, bool setChildren) {
    if (v)
        FComponentState |= csDesigning;
    else
        FComponentState &= ~static_cast<TComponentState>(csDesigning);
    if (setChildren)
        for (TComponent* c : FComponents) c->SetDesigning(v, true);
}

void TComponent::Destroying() {
    if (HasState(csDestroying)) return;
    FComponentState |= csDestroying;
    for (TComponent* c : FComponents) c->Destroying();
}

void TComponent::Loading() {
    FComponentState |= csLoading;
}

void TComponent::Loaded() {
    FComponentState &= ~static_cast<TComponentState>(csLoading);
}

void TComponent::FreeNotification(TComponent* c) {
    if (!c || c == this) return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), c) == FFreeNotifies.end())
        FFreeNotifies.push_back(c);
    if (std::find(c->FFreeNotifies.begin(), c->FFreeNotifies.end(), this) == c->FFreeNotifies.end())
        c->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* c) {
    if (!c) return;
    EraseOne(FFreeNotifies, c);
    EraseOne(c->FFreeNotifies, this);
}

void TComponent::DefineProperties(TFiler* /*Filer*/) {}

void TComponent::Notification(TComponent* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent) RemoveFreeNotification(AComponent);
    // Passed down to the owned components; one of them may go away meanwhile.
    for (int i = static_cast<int>(FComponents.size()) - 1; i >= 0; --i) {
        if (i >= static_cast<int>(FComponents.size())) {
            i = static_cast<int>(FComponents.size());
            continue;
        }
        FComponents[i]->Notification(AComponent, Operation);
    }
}
