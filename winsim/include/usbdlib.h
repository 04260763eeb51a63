// winsim: the URB-building macros of the USB driver library (usbdlib.h), as the platform defines them.
#pragma once

#include "usb.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY
{
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL,   \
                                               transferBufferLength, transferFlags, link)                    \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                 \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                         \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                     \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                           \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                 \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                   \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                  \
    }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId,               \
                                     transferBuffer, transferBufferMDL, transferBufferLength, link)          \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                 \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                    \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                          \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                        \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                        \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                 \
    }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)                             \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                                       \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);                   \
    }

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting)  \
    {                                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                           \
        (urb)->UrbHeader.Length = (length);                                                                  \
        (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                           \
        (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                             \
        (urb)->UrbSelectInterface.Interface.Length =                                                         \
            (length - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));                       \
        (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                               \
    }

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                                   \
    (sizeof(struct _URB_SELECT_CONFIGURATION) +                                                              \
     ((totalInterfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +                                          \
     ((totalPipes - totalInterfaces) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes)                                                        \
    (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes - 1) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                                \
    (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) -                 \
     sizeof(USBD_PIPE_INFORMATION))
