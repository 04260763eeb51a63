// winsim: one device node's stack put together in Windows' order (see pnp_stack.h).
#include "winsim/kernel/pnp_stack.h"

namespace winsim
{

std::vector<PDRIVER_OBJECT> StackDrivers::InStackOrder() const
{
    std::vector<PDRIVER_OBJECT> order = lowerFilters;
    order.push_back(function);
    order.insert(order.end(), upperFilters.begin(), upperFilters.end());
    return order;
}

BuiltStack BuildDeviceStack(PDEVICE_OBJECT pdo, const StackDrivers& drivers, const PnpSender& send)
{
    BuiltStack built;
    for (PDRIVER_OBJECT driver : drivers.InStackOrder())
    {
        ++built.added;
        built.status =
            driver->DriverExtension->AddDevice != nullptr ? CallAddDevice(driver, pdo) : STATUS_NOT_SUPPORTED;
        if (!NT_SUCCESS(built.status))
        {
            built.outcome = BuiltStack::Outcome::AddDeviceFailed;
            return built;
        }
        if (driver == drivers.function)
        {
            built.functionDevice = IoGetAttachedDevice(pdo);
        }
    }
    built.status = send(IoGetAttachedDevice(pdo), IRP_MN_START_DEVICE, {}).status;
    if (!NT_SUCCESS(built.status))
    {
        built.outcome = BuiltStack::Outcome::StartFailed;
    }
    return built;
}

std::vector<PDEVICE_OBJECT> QueryBusRelations(PDEVICE_OBJECT top, const PnpSender& send)
{
    const IrpResult result = send(top, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.QueryDeviceRelations.Type = BusRelations;
    });
    std::vector<PDEVICE_OBJECT> children;
    if (NT_SUCCESS(result.status) && result.information != 0)
    {
        auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
        children.assign(relations->Objects, relations->Objects + relations->Count);
        ExFreePool(relations);
    }
    return children;
}

IrpResult SendPnpPlain(PDEVICE_OBJECT device, UCHAR minor,
                       const std::function<void(PIO_STACK_LOCATION)>& setup)
{
    return SendPnp(device, minor, setup);
}

} // namespace winsim
