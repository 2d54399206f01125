#pragma once
// The signer's steps after the message is signed: the signature time stamp
// that makes a CAdES-B signature CAdES-T.

#include <string>
#include <vector>

#include "platform/win/WinTypes.h"
#include "signing/SignerOptions.h"

// The time-stamping authority's URL: the options' "tsa", else the
// environment's OSTREL_TSA, else timestamp-url in ostrel.conf. None of them,
// or one that is no ASCII http or https URL: an E_INVALIDARG automation
// exception saying where to give one, or where the one at fault came from.
std::string TimestampAuthority(const SignerOptions& options);

// The message (detached or not) with a time stamp over its signer's
// signature value, from `url`, as the unsigned attribute
// signature-time-stamp-token. `hashOid` is the digest the message was signed
// with. Throws the signer's automation exception when there is none: the
// authority's answer is checked before it is used (granted, the imprint and
// nonce of the request, its time within a minute of the clock).
std::vector<BYTE> AddSignatureTimestamp(const std::vector<BYTE>& message, bool detached,
                                        const char* hashOid, const std::string& url);
