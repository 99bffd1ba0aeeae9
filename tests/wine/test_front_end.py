NOT_READY = (
    '{"version":1,"ready":false,"capabilities":{"filesystem_isolation":false,'
    '"network_isolation":false,"process_isolation":true},'
    '"warning":"administrator initialization is required",'
    '"remediation":"Open an elevated terminal and run: tessarin-sandbox.exe setup --json"}\n'
)


def test_status_on_a_fresh_machine(install):
    result = install.run("status")
    assert result.exit_code == 0
    assert result.out == NOT_READY
    assert result.stderr == b""
