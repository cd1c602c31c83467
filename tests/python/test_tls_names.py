"""The client certificate's subject as the ASGI "tls" extension writes it (RFC 4514)."""

from quillet._tls import _rfc4514


def test_subject_names_are_written_most_specific_first_and_escaped():
    subject = ((("countryName", "DE"),), (("organizationName", "Acme, Inc."),),
               (("organizationalUnitName", "R+D"), ("userId", "42")),
               (("commonName", "#1 <admin>; \"root\" "),), (("2.5.4.97", "x\\y"),))
    assert _rfc4514(subject) == ('2.5.4.97=x\\\\y,CN=\\#1 \\<admin\\>\\; \\"root\\"\\ ,'
                                 'OU=R\\+D+UID=42,O=Acme\\, Inc.,C=DE')
    assert _rfc4514(((("commonName", " lead"),),)) == "CN=\\ lead"
    assert _rfc4514(()) == ""
