// The small machinery behind the process manager's facade: a facade object holds an implementation that a
// factory's current creator makes and takes back; the factory and the DLL bindings are process-wide
// singletons, created on first use and deleted explicitly at exit. Used from one thread at a time.
#pragma once

namespace Kavelor
{
template <class T> class CSingleton
{
public:
    static T* GetInstance()
    {
        if (s_pInstance == nullptr)
        {
            s_pInstance = new T();
        }
        return s_pInstance;
    }
    static void ReleaseInstance()
    {
        delete s_pInstance;
        s_pInstance = nullptr;
    }

private:
    static inline T* s_pInstance = nullptr;
};

template <class Imp> class CImpCreator
{
public:
    virtual ~CImpCreator() = default;
    virtual Imp* Create() = 0;
    virtual void Destroy(Imp* pImp) { delete pImp; }
};

template <class Creator> class CImpFactory
{
public:
    CImpFactory() = default;
    CImpFactory(const CImpFactory&) = delete;
    CImpFactory& operator=(const CImpFactory&) = delete;
    virtual ~CImpFactory() { delete m_pCreator; }

    // Null when no creator was chosen yet.
    virtual auto Create() -> decltype(static_cast<Creator*>(nullptr)->Create())
    {
        return m_pCreator != nullptr ? m_pCreator->Create() : nullptr;
    }
    virtual void ReleaseCreator()
    {
        delete m_pCreator;
        m_pCreator = nullptr;
    }
    // Takes ownership; a creator already held is deleted first.
    void SetCreator(Creator* pCreator)
    {
        ReleaseCreator();
        m_pCreator = pCreator;
    }
    Creator* GetCreator() const { return m_pCreator; }

private:
    Creator* m_pCreator = nullptr;
};

template <class Imp> class CClassInterface
{
public:
    CClassInterface() = default;
    CClassInterface(const CClassInterface&) = delete;
    CClassInterface& operator=(const CClassInterface&) = delete;
    virtual ~CClassInterface() = default;

protected:
    Imp* m_pImp = nullptr;
};

// The implementation comes from the factory singleton's current creator and goes back to it.
template <class Factory>
class CClassInterfaceFactoryTemplate : public CClassInterface<typename Factory::ImpType>
{
public:
    CClassInterfaceFactoryTemplate() { this->m_pImp = Factory::GetInstance()->Create(); }
    ~CClassInterfaceFactoryTemplate() override
    {
        if (this->m_pImp == nullptr)
        {
            return;
        }
        auto* pCreator = Factory::GetInstance()->GetCreator();
        if (pCreator != nullptr)
        {
            pCreator->Destroy(this->m_pImp);
        }
        else
        {
            delete this->m_pImp;
        }
    }
};
} // namespace Kavelor
