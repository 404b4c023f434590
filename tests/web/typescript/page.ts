// A plain page's script (no imports): the classic script's global, through a type reference.
/// <reference types="talvoro-macaddress/classic" />
TalvoroMac.getMacAddress({ param: "YA2XRKslq1CPfM37oZaj/A==", base: TalvoroMac.DEFAULT_BASE })
  .then((address: string) => address.length,
        (error: import("talvoro-macaddress").MacAddressError) =>
          error.code === TalvoroMac.errors.LOCAL_ACCESS_BLOCKED);
