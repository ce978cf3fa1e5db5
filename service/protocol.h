#pragma once
// The two protocols, as one table.
//
// COMPANION_SERVICE_MESSAGES lists every message the agent serves, in declaration order:
//   CALL(method, selector, (argument types), (reply types), (refused reply))
//   ONEWAY(method, selector, (argument types))
// COMPANION_CLIENT_MESSAGES lists the callbacks the agent sends to its client.
// Everything else here (the message types, the typed handler table, decoding, encoding and the
// description) is generated from these two lists; nothing about a message is written twice.

#include "service/wire_types.h"

#define COMPANION_SERVICE_MESSAGES(CALL, ONEWAY)                                                   \
    CALL(helloWithReply, "helloWithReply:", (), (Int64, String), (1, "?"))                         \
    CALL(accessibilityWithPrompt, "accessibilityWithPrompt:reply:", (Bool), (Bool), (false))       \
    CALL(detectDialogWithPid, "detectDialogWithPid:reply:", (Int32), (DoubleArray, Bool, Int32),   \
         ({}, false, -25211))                                                                      \
    CALL(finderFoldersWithReply, "finderFoldersWithReply:", (), (StringArray), ({}))               \
    CALL(navigateDialogWithPid, "navigateDialogWithPid:path:reply:", (Int32, String), (Bool),      \
         (false))                                                                                  \
    CALL(finderGetInfoWithPaths, "finderGetInfoWithPaths:reply:", (StringArray), (Bool), (false))  \
    CALL(desktopServicesWithReply, "desktopServicesWithReply:", (), (Bool, Bool), (false, false))  \
    CALL(setDesktopServicesWithNoNetworkStores,                                                    \
         "setDesktopServicesWithNoNetworkStores:noUSBStores:reply:", (Bool, Bool), (Bool),         \
         (false))                                                                                  \
    CALL(finderRemovesOldTrashWithReply, "finderRemovesOldTrashWithReply:", (), (Bool), (false))   \
    CALL(setFinderRemovesOldTrash, "setFinderRemovesOldTrash:reply:", (Bool), (Bool), (false))     \
    CALL(relaunchFinderWithReply, "relaunchFinderWithReply:", (), (Bool), (false))                 \
    CALL(vaultCreateWithPath, "vaultCreateWithPath:volumeName:maxGB:password:reply:",              \
         (String, String, Int64, String), (Int32, String), (-1, "invalid"))                        \
    CALL(vaultAttachWithPath, "vaultAttachWithPath:password:hidden:reply:",                        \
         (String, String, Bool), (Int32, String, String), (-1, "", "invalid"))                     \
    CALL(vaultDetachWithMountPoint, "vaultDetachWithMountPoint:force:reply:", (String, Bool),      \
         (Int32, String), (-1, "invalid"))                                                         \
    CALL(attachedImagesWithReply, "attachedImagesWithReply:", (), (String), (""))                  \
    CALL(encryptedArchiveWithItems, "encryptedArchiveWithItems:destination:password:reply:",       \
         (StringArray, String, String), (Int32, String), (-1, "invalid"))                          \
    CALL(runMaintenance, "runMaintenance:reply:", (StringArray), (Bool, String),                   \
         (false, "invalid"))                                                                       \
    CALL(launchctlStateWithReply, "launchctlStateWithReply:", (), (String, String), ("", ""))      \
    CALL(setLaunchItemWithLabel, "setLaunchItemWithLabel:plist:domain:enabled:reply:",             \
         (String, String, String, Bool), (Bool, String), (false, "invalid"))                       \
    CALL(removeLaunchItemWithLabel, "removeLaunchItemWithLabel:plist:domain:reply:",               \
         (String, String, String), (Bool, String), (false, "invalid"))                             \
    CALL(loginItemsWithReply, "loginItemsWithReply:", (), (OptionalString), (std::nullopt))        \
    CALL(removeLoginItemWithName, "removeLoginItemWithName:reply:", (String), (Bool), (false))     \
    CALL(resetPermissionsWithServices, "resetPermissionsWithServices:clients:systemWide:reply:",   \
         (StringArray, StringArray, BoolArray), (Bool, String), (false, "invalid"))                \
    CALL(restartRecentItemsWithReply, "restartRecentItemsWithReply:", (), (), ())                  \
    CALL(evictFromCloudWithPaths, "evictFromCloudWithPaths:reply:", (StringArray), (Int64), (0))   \
    CALL(downloadFromCloudWithPaths, "downloadFromCloudWithPaths:reply:", (StringArray), (Int64),  \
         (0))                                                                                      \
    CALL(rcloneInstalledWithReply, "rcloneInstalledWithReply:", (), (Bool), (false))               \
    CALL(rcloneRemotesWithReply, "rcloneRemotesWithReply:", (), (String), (""))                    \
    CALL(rcloneAuthorizeWithType, "rcloneAuthorizeWithType:remoteName:extra:reply:",               \
         (String, String, Dictionary), (OptionalString), ("invalid"))                              \
    CALL(rcloneTestWithConnection, "rcloneTestWithConnection:reply:", (Dictionary),                \
         (Bool, String), (false, "invalid"))                                                       \
    CALL(rcloneStatWithConnection, "rcloneStatWithConnection:path:reply:", (Dictionary, String),   \
         (Int32, String), (-1, ""))                                                                \
    CALL(rcloneMountWithId, "rcloneMountWithId:connection:mountPoint:volumeName:readOnly:reply:",  \
         (String, Dictionary, String, String, Bool), (Bool, String), (false, "invalid"))           \
    ONEWAY(stopRcloneMountWithId, "stopRcloneMountWithId:", (String))                              \
    CALL(unmountWithPath, "unmountWithPath:force:reply:", (String, Bool), (Bool), (false))         \
    CALL(staleRcloneMountsWithReply, "staleRcloneMountsWithReply:", (), (String), (""))            \
    CALL(stopStaleRcloneMountWithPid, "stopStaleRcloneMountWithPid:reply:", (Int32), (Bool),       \
         (false))                                                                                  \
    CALL(sshHomeWithHost, "sshHomeWithHost:user:port:keyFile:reply:",                              \
         (String, String, Int64, String), (OptionalString), (std::nullopt))                        \
    CALL(rcloneSyncWithId,                                                                         \
         "rcloneSyncWithId:source:destination:mirror:checksum:excludes:trashRoot:dryRun:reply:",   \
         (String, String, String, Bool, Bool, StringArray, OptionalString, Bool), (Int32), (-1))   \
    ONEWAY(cancelSyncWithId, "cancelSyncWithId:", (String))                                        \
    CALL(gitStatusWithRoot, "gitStatusWithRoot:reply:", (String), (Int32, Data),                   \
         (-1, wire::Bytes{}))                                                                      \
    CALL(timeMachineBackupsWithReply, "timeMachineBackupsWithReply:", (), (String), (""))

#define COMPANION_CLIENT_MESSAGES(ONEWAY)                          \
    ONEWAY(syncOutput, "syncOutput:line:", (String, String))       \
    ONEWAY(rcloneMountEnded, "rcloneMountEnded:", (String))
